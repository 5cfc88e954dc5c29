#include "Corvantesk/qt/ViewTagging.h"
#include "tests/corvantesk/qt/QtTrackingFixture.h"

#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace corvantesk::qttest {
namespace {

using Metadata = MacOSAutoTracker::TrackingMetadata;

class AutoTrackerScreenTest : public QtTrackingTest {
protected:
    void SetUp() override {
        QtTrackingTest::SetUp();
        startSdk();
    }
};

TEST_F(AutoTrackerScreenTest, EachWindowReportsItsOwnScreenOncePerSwitch) {
    QWidget main;
    main.setWindowTitle("Quillobrandt");
    trackScreen(&main, "MainView");
    QWidget conversation;
    conversation.setWindowTitle("Quillobrandt");
    trackScreen(&conversation, "ConversationView", QString("Conversation"));

    showActive(main);
    showActive(main); // the same window again: nothing new
    showActive(conversation);
    showActive(main);
    EXPECT_EQ(screens(), (std::vector<std::string>{"MainView", "ConversationView", "MainView"}));
    const auto views = events("screen_viewed");
    EXPECT_EQ(views[0].screenLabel, "Quillobrandt"); // no registered label: the window's title
    EXPECT_EQ(views[1].screenLabel, "Conversation");
    EXPECT_EQ(views[1].properties, (AnyMap{{"auto_tracked", true}}));
    EXPECT_EQ(MacOSAutoTracker::shared().currentScreenName(), "MainView");

    // Closing a window and opening one with the same name reports it again.
    conversation.hide();
    QWidget again;
    trackScreen(&again, "ConversationView");
    showActive(again);
    EXPECT_EQ(screens().back(), "ConversationView");
    EXPECT_EQ(screens().size(), 4u);
}

TEST_F(AutoTrackerScreenTest, TagsRegisterTheirOwnWindowNotTheActiveOne) {
    QWidget main;
    trackScreen(&main, "MainView");
    showActive(main);
    QWidget background;
    auto* content = new QWidget(&background);
    new QVBoxLayout(&background);
    background.layout()->addWidget(content);
    trackScreen(content, "ConversationView");
    ASSERT_EQ(QApplication::activeWindow(), &main);
    background.show(); // the tag registers while the main window is still the active one
    QApplication::processEvents();

    auto& tracker = MacOSAutoTracker::shared();
    EXPECT_EQ(tracker.trackingMetadata(&main)->screenName, "MainView");
    EXPECT_EQ(tracker.trackingMetadata(&background)->screenName, "ConversationView");
}

TEST_F(AutoTrackerScreenTest, PagesShownInTheActiveWindowRenameItsScreen) {
    QMainWindow window;
    window.setWindowTitle("Quillobrandt");
    auto* stack = new QStackedWidget(&window);
    window.setCentralWidget(stack);
    auto* welcome = new QLabel("Welcome", stack);
    auto* conversation = new QLabel("Conversation", stack);
    stack->addWidget(welcome);
    stack->addWidget(conversation);
    trackScreen(welcome, "MainView");
    trackScreen(conversation, "ConversationView");
    showActive(window);
    stack->setCurrentWidget(conversation);
    stack->setCurrentWidget(welcome);
    EXPECT_EQ(screens(), (std::vector<std::string>{"MainView", "ConversationView", "MainView"}));
}

TEST_F(AutoTrackerScreenTest, EndOfASheetReportsTheParentAgain) {
    QWidget main;
    trackScreen(&main, "MainView");
    showActive(main);
    QDialog sheet(&main);
    sheet.setWindowModality(Qt::WindowModal);
    trackScreen(&sheet, "ExportSettings");
    showActive(sheet);
    sheet.hide();
    QTest::qWait(250);
    const auto names = screens();
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[0], "MainView");
    EXPECT_EQ(names[1], "ExportSettings");
    EXPECT_EQ(names.back(), "MainView");
}

TEST_F(AutoTrackerScreenTest, ScreenNamesFollowTheirRules) {
    auto& tracker = MacOSAutoTracker::shared();
    QWidget identified;
    identified.setObjectName("Inbox Settings...");
    identified.setWindowTitle("Ignored");
    EXPECT_EQ(tracker.screenName(&identified), "inbox_settings");

    QWidget titled;
    titled.setWindowTitle("Export Options[*]");
    EXPECT_EQ(tracker.screenName(&titled), "export_options");

    QWidget untitled;
    untitled.setWindowTitle("UNTITLED");
    EXPECT_EQ(tracker.screenName(&untitled), "MainScreen");
    auto* named = new QWidget(&untitled);
    named->setObjectName("contactList");
    EXPECT_EQ(tracker.screenName(&untitled), "contactlist");

    QMainWindow mainWindow;
    EXPECT_EQ(tracker.screenName(&mainWindow), "MainScreen");
    QDialog modal;
    modal.setWindowModality(Qt::ApplicationModal);
    EXPECT_EQ(tracker.screenName(&modal), "ModalDialog");
    QWidget floating(nullptr, Qt::Tool);
    EXPECT_EQ(tracker.screenName(&floating), "FloatingPanel");
    QLabel custom;
    EXPECT_EQ(tracker.screenName(&custom), "LabelScreen");
}

TEST_F(AutoTrackerScreenTest, ToolWindowsAreNotReportedWhenActivated) {
    QWidget tool(nullptr, Qt::Tool);
    tool.setWindowTitle("Inspector");
    showActive(tool);
    EXPECT_TRUE(screens().empty());
}

TEST_F(AutoTrackerScreenTest, RegistryEntriesAreReplacedAndGoWithTheirObject) {
    auto& tracker = MacOSAutoTracker::shared();
    auto window = std::make_unique<QWidget>();
    tracker.setTrackingMetadata({std::string("win"), std::string("Old"), std::string("cat"), std::nullopt, false},
                                window.get());
    tracker.registerScreen(window.get(), "MainView", std::string("Main"));
    EXPECT_EQ(tracker.trackingMetadata(window.get()),
              (Metadata{std::string("win"), std::string("Main"), std::string("cat"), std::string("MainView"), false}));
    tracker.registerScreen(window.get(), "MainView", std::nullopt);
    EXPECT_EQ(tracker.trackingMetadata(window.get())->trackLabel, std::nullopt);

    registerTrackingScreen(window.get(), "Detail", std::string("Detail"));
    EXPECT_EQ(tracker.trackingMetadata(window.get()),
              (Metadata{std::nullopt, std::string("Detail"), std::nullopt, std::string("Detail"), true}));
    registerTracking(window.get(), std::string("id"), std::nullopt, std::nullopt, true);
    EXPECT_EQ(tracker.trackingMetadata(window.get())->screenName, std::nullopt);

    const QObject* address = window.get();
    window.reset();
    EXPECT_EQ(tracker.trackingMetadata(address), std::nullopt);
}

TEST_F(AutoTrackerScreenTest, KeyWindowRegistrationWaitsForAnActiveWindow) {
    auto& tracker = MacOSAutoTracker::shared();
    tracker.registerScreen("Orphan", std::nullopt);
    QApplication::processEvents();
    QWidget window;
    window.setWindowTitle("Quillobrandt");
    showActive(window);
    tracker.registerScreen("Welcome", std::string("Welcome"));
    EXPECT_EQ(tracker.trackingMetadata(&window), std::nullopt); // queued, not yet run
    QApplication::processEvents();
    EXPECT_EQ(tracker.trackingMetadata(&window)->screenName, "Welcome");
    EXPECT_EQ(screens(), (std::vector<std::string>{"quillobrandt", "Welcome"}));
}

TEST(ViewTaggingTest, TagsAreInheritedWithinTheirWindow) {
    QWidget window;
    auto* panel = new QWidget(&window);
    auto* button = new QWidget(panel);
    EXPECT_EQ(corvanteskTrackingID(button), std::nullopt);
    EXPECT_EQ(corvanteskTrackingLabel(button), std::nullopt);
    EXPECT_EQ(corvanteskTrackingCategory(button), std::nullopt);
    EXPECT_TRUE(corvanteskTrackingEnabled(button));

    trackingID(panel, "toolbar");
    trackingLabel(&window, "Window");
    trackingCategory(panel, "export");
    trackingDisabled(panel, true);
    trackScreen(&window, "MainView");
    EXPECT_EQ(corvanteskTrackingID(button), "toolbar");
    EXPECT_EQ(corvanteskTrackingLabel(button), "Window");
    EXPECT_EQ(corvanteskTrackingCategory(button), "export");
    EXPECT_FALSE(corvanteskTrackingEnabled(button));
    EXPECT_EQ(corvanteskScreenName(button), "MainView");
    trackingID(button, "own");
    trackingDisabled(button, false);
    EXPECT_EQ(corvanteskTrackingID(button), "own");
    EXPECT_TRUE(corvanteskTrackingEnabled(button));

    // A dialog is a window of its own: the tags of the window it belongs to stop at its edge.
    QDialog dialog(&window);
    EXPECT_EQ(corvanteskTrackingLabel(&dialog), std::nullopt);
    EXPECT_EQ(corvanteskScreenName(&dialog), std::nullopt);
}

} // namespace
} // namespace corvantesk::qttest
