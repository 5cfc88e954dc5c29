#include "Corvantesk/qt/TrackedViews.h"
#include "Corvantesk/qt/ViewTagging.h"
#include "tests/corvantesk/qt/QtTrackingFixture.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <QVBoxLayout>

namespace corvantesk::qttest {
namespace {

class AutoTrackerClickTest : public QtTrackingTest {
protected:
    void SetUp() override {
        QtTrackingTest::SetUp();
        startSdk();
        window_.setWindowTitle("Quillobrandt");
        trackScreen(&window_, "MainView");
        layout_ = new QVBoxLayout(&window_);
    }

    QPushButton* addButton(const QString& text, QWidget* parent = nullptr) {
        auto* button = new QPushButton(text, parent != nullptr ? parent : &window_);
        if (parent == nullptr) {
            layout_->addWidget(button);
        }
        button->setMinimumSize(40, 20);
        return button;
    }

    static AnalyticsEvent lastClick() {
        const auto clicks = events("button_clicked");
        return clicks.empty() ? AnalyticsEvent{} : clicks.back();
    }

    QWidget window_;
    QVBoxLayout* layout_ = nullptr;
};

// The id and label tags are set on views but never read back: the click is reported by the button's own title.
TEST_F(AutoTrackerClickTest, ClickOnTaggedButtonInTaggedScreenIsReportedByItsTitle) {
    auto* button = addButton("Load");
    trackingID(button, "load_mac_messages");
    trackingLabel(button, "Load Mac Messages");
    showActive(window_);
    ASSERT_EQ(screens(), std::vector<std::string>{"MainView"});

    QTest::mouseClick(button, Qt::LeftButton);

    const auto clicks = events("button_clicked");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0].element, "load");
    EXPECT_EQ(clicks[0].elementLabel, "Load");
    EXPECT_EQ(clicks[0].screen, "MainView");
    EXPECT_EQ(clicks[0].properties,
              (AnyMap{{"control_type", "button"}, {"auto_tracked", true}, {"element_label", "Load"}}));
    const auto ui = breadcrumbs("ui");
    ASSERT_EQ(ui.size(), 1u);
    EXPECT_EQ(ui[0].message, "Clicked Load");
    EXPECT_EQ(ui[0].data, (AnyMap{{"element", "load"}, {"screen", "MainView"}, {"type", "button"}}));
    const auto navigation = breadcrumbs("navigation");
    ASSERT_EQ(navigation.size(), 1u);
    EXPECT_EQ(navigation[0].message, "Viewed MainView");
}

TEST_F(AutoTrackerClickTest, RegistryBeatsDerivedNamesAndTagsChangeNothing) {
    auto* registered = addButton("Ignored Title");
    trackingID(registered, "tag_id");
    registerTracking(registered, std::string("registered_id"), std::string("Registered"), std::nullopt, true);

    auto* group = new QWidget(&window_);
    layout_->addWidget(group);
    new QHBoxLayout(group);
    trackingID(group, "toolbar_group");
    trackingLabel(group, "Toolbar");
    auto* inherits = addButton("Inner", group);
    group->layout()->addWidget(inherits);

    auto* derived = addButton("&Save Copy");
    auto* named = addButton("Named");
    named->setObjectName("exportButton");
    auto* genericAccessible = addButton("Apply Changes");
    genericAccessible->setAccessibleName("BUTTON");
    showActive(window_);

    QTest::mouseClick(registered, Qt::LeftButton);
    EXPECT_EQ(lastClick().element, "registered_id");
    EXPECT_EQ(lastClick().elementLabel, "Registered");
    QTest::mouseClick(inherits, Qt::LeftButton);
    EXPECT_EQ(lastClick().element, "inner");
    EXPECT_EQ(lastClick().elementLabel, "Inner");
    QTest::mouseClick(derived, Qt::LeftButton);
    EXPECT_EQ(lastClick().element, "save_copy");
    EXPECT_EQ(lastClick().elementLabel, "Save Copy");
    QTest::mouseClick(named, Qt::LeftButton);
    EXPECT_EQ(lastClick().element, "exportbutton");
    EXPECT_EQ(lastClick().elementLabel, "Named");
    QTest::mouseClick(genericAccessible, Qt::LeftButton);
    EXPECT_EQ(lastClick().element, "apply_changes");
    EXPECT_EQ(events("button_clicked").size(), 5u);
}

TEST_F(AutoTrackerClickTest, DerivedNamesFallBackToToolTipAndViewPath) {
    auto* sidebar = new QWidget(&window_);
    sidebar->setObjectName("Sidebar");
    auto* first = addButton("", sidebar);
    auto* second = addButton("", sidebar);
    auto* tipped = addButton("", sidebar);
    tipped->setToolTip("Open Folder");
    auto* lonely = new QPushButton(new QWidget(&window_));
    auto& tracker = MacOSAutoTracker::shared();

    EXPECT_EQ(tracker.controlLabel(tipped), "open_folder");
    EXPECT_EQ(tracker.controlLabel(first), "sidebar_pushbutton_0");
    EXPECT_EQ(tracker.controlLabel(second), "sidebar_pushbutton_1");
    // No named container: the window's title gives the context; a single button gets no index.
    EXPECT_EQ(tracker.controlLabel(lonely), "quillobrandt_pushbutton");
    QWidget untitled;
    auto* orphan = new QPushButton(&untitled);
    EXPECT_EQ(tracker.controlLabel(orphan), "widget_pushbutton");
}

TEST_F(AutoTrackerClickTest, DisabledTrackingAndSettingsSuppressClicks) {
    auto* optedOut = addButton("Opted Out");
    registerTracking(optedOut, std::string("kept_id"), std::nullopt, std::nullopt, false);
    auto* group = new QWidget(&window_);
    layout_->addWidget(group);
    new QHBoxLayout(group);
    trackingDisabled(group, true); // a tag: set, never read back
    auto* inside = addButton("Inside", group);
    group->layout()->addWidget(inside);
    auto* normal = addButton("Normal");
    auto* disabledWidget = addButton("Greyed");
    disabledWidget->setEnabled(false);
    showActive(window_);

    QTest::mouseClick(optedOut, Qt::LeftButton);
    QTest::mouseClick(disabledWidget, Qt::LeftButton);

    // Pressed, then released outside: the button does not click, so nothing is tracked.
    QTest::mousePress(normal, Qt::LeftButton);
    QTest::mouseRelease(normal, Qt::LeftButton, {}, QPoint(-5, -5));
    EXPECT_TRUE(events("button_clicked").empty());

    MacOSAutoTracker::shared().trackButtonClicks = false;
    QTest::mouseClick(normal, Qt::LeftButton);
    EXPECT_TRUE(events("button_clicked").empty());
    MacOSAutoTracker::shared().trackButtonClicks = true;
    MacOSAutoTracker::shared().isEnabled = false;
    QTest::mouseClick(normal, Qt::LeftButton);
    EXPECT_TRUE(events("button_clicked").empty());
    MacOSAutoTracker::shared().isEnabled = true;
    QTest::mouseClick(normal, Qt::LeftButton);
    EXPECT_EQ(events("button_clicked").size(), 1u);
    QTest::mouseClick(inside, Qt::LeftButton);
    EXPECT_EQ(events("button_clicked").size(), 2u) << "the disabled tag is not read back";
    EXPECT_EQ(lastClick().element, "inside");
}

TEST_F(AutoTrackerClickTest, SpaceOnAFocusedButtonCountsAsAClick) {
    auto* button = addButton("Export PDF");
    showActive(window_);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    ASSERT_EQ(events("button_clicked").size(), 1u);
    EXPECT_EQ(lastClick().element, "export_pdf");
}

TEST_F(AutoTrackerClickTest, ReturnInADialogCountsAsAClickOfItsDefaultButton) {
    showActive(window_);
    QDialog dialog(&window_);
    auto* layout = new QVBoxLayout(&dialog);
    auto* name = new QLineEdit(&dialog);
    auto* cancel = new QPushButton("Cancel", &dialog);
    auto* save = new QPushButton("Save Copy", &dialog);
    layout->addWidget(name);
    layout->addWidget(cancel);
    layout->addWidget(save);
    save->setDefault(true);
    int saved = 0;
    int cancelled = 0;
    QObject::connect(save, &QPushButton::clicked, [&] { ++saved; });
    QObject::connect(cancel, &QPushButton::clicked, [&] { ++cancelled; });
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));

    name->setFocus();
    QTest::keyClick(name, Qt::Key_Return);
    cancel->setFocus();
    QTest::keyClick(cancel, Qt::Key_Return);
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(cancelled, 1);
    const auto clicks = events("button_clicked");
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[0].element, "save_copy");
    EXPECT_EQ(clicks[1].element, "cancel");
}

TEST_F(AutoTrackerClickTest, MenuActionsAreReportedByTheirMenuPath) {
    auto* keep = addButton("Keep");
    showActive(window_);
    QMenu file("&File");
    QMenu exportMenu("Export");
    file.addMenu(&exportMenu);
    QAction* csv = exportMenu.addAction("&CSV…");
    QAction* quit = file.addAction("Quit");
    quit->setShortcut(QKeySequence("Ctrl+Q"));
    window_.addAction(quit);
    int triggered = 0;
    QObject::connect(csv, &QAction::triggered, [&] { ++triggered; });

    exportMenu.popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&exportMenu));
    QTest::mouseClick(&exportMenu, Qt::LeftButton, {}, exportMenu.actionGeometry(csv).center());
    EXPECT_EQ(triggered, 1);
    ASSERT_EQ(events("button_clicked").size(), 1u);
    EXPECT_EQ(lastClick().element, "file_export_csv"); // the ellipsis is trimmed punctuation
    EXPECT_EQ(lastClick().elementLabel, "CSV…");
    EXPECT_EQ(lastClick().properties->at("control_type"), AnyCodable("menu_item"));

    showActive(window_);
    QTest::keyClick(&window_, Qt::Key_Q, Qt::ControlModifier);
    ASSERT_EQ(events("button_clicked").size(), 2u);
    EXPECT_EQ(lastClick().element, "file_quit");

    // Menus off, buttons still on.
    MacOSAutoTracker::shared().trackMenuClicks = false;
    QTest::keyClick(&window_, Qt::Key_Q, Qt::ControlModifier);
    QTest::mouseClick(keep, Qt::LeftButton);
    ASSERT_EQ(events("button_clicked").size(), 3u);
    EXPECT_EQ(lastClick().element, "keep");

    QAction loose;
    EXPECT_EQ(MacOSAutoTracker::shared().menuItemLabel(&loose), "unknown_menu_item");
    QMenu bare;
    bare.addAction("One");
    QAction* separator = bare.addSeparator();
    QAction* untitled = bare.addAction("");
    EXPECT_EQ(MacOSAutoTracker::shared().menuItemLabel(separator), "separator_1");
    EXPECT_EQ(MacOSAutoTracker::shared().menuItemLabel(untitled), "item_2");
}

// A menu item chosen by its mnemonic letter is reported once; one chosen by the mouse is not reported again by
// the trigger that follows.
TEST_F(AutoTrackerClickTest, MenuItemsChosenByMnemonicAreReportedOnce) {
    showActive(window_);
    QMenu view("&View");
    QAction* zoom = view.addAction("&Zoom In");
    QAction* reset = view.addAction("&Reset");
    view.popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QTest::keyClick(&view, Qt::Key_Z);
    ASSERT_EQ(events("button_clicked").size(), 1u);
    EXPECT_EQ(lastClick().element, "view_zoom_in");
    EXPECT_EQ(lastClick().properties->at("control_type"), AnyCodable("menu_item"));

    view.popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QTest::mouseClick(&view, Qt::LeftButton, {}, view.actionGeometry(reset).center());
    ASSERT_EQ(events("button_clicked").size(), 2u);
    EXPECT_EQ(lastClick().element, "view_reset");
    (void)zoom;
}

// Combo boxes are pop-up buttons with the chosen item; button groups and tab bars are segmented controls.
TEST_F(AutoTrackerClickTest, PopUpButtonsAndSegmentedControls) {
    auto* sort = new QComboBox(&window_);
    sort->setObjectName("sortOrder");
    sort->addItems({"Newest", "Oldest"});
    layout_->addWidget(sort);
    auto* tabs = new QTabBar(&window_);
    tabs->setObjectName("modeTabs");
    tabs->addTab("Messages");
    tabs->addTab("&Photos");
    layout_->addWidget(tabs);
    auto* segments = new QWidget(&window_);
    segments->setObjectName("themePicker");
    new QHBoxLayout(segments);
    layout_->addWidget(segments);
    QButtonGroup group;
    for (const char* title : {"Light", "Dark"}) {
        auto* choice = addButton(title, segments);
        choice->setCheckable(true);
        segments->layout()->addWidget(choice);
        group.addButton(choice);
    }
    showActive(window_);

    sort->setFocus();
    QTest::keyClick(sort, Qt::Key_Down); // chooses the next item, as a user with the keyboard does
    ASSERT_EQ(events("button_clicked").size(), 1u);
    EXPECT_EQ(lastClick().element, "sortorder");
    EXPECT_EQ(lastClick().elementLabel, "Oldest");
    EXPECT_EQ(lastClick().properties->at("control_type"), AnyCodable("popup_button"));
    EXPECT_EQ(lastClick().properties->at("selected_item"), AnyCodable("Oldest"));

    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    ASSERT_EQ(events("button_clicked").size(), 2u);
    EXPECT_EQ(lastClick().element, "modetabs_segment_1");
    EXPECT_EQ(lastClick().elementLabel, "Photos");
    EXPECT_EQ(lastClick().properties->at("control_type"), AnyCodable("segmented_control"));
    EXPECT_EQ(lastClick().properties->at("segment_index"), AnyCodable(1));

    QTest::mouseClick(group.buttons().at(1), Qt::LeftButton);
    ASSERT_EQ(events("button_clicked").size(), 3u) << "a segment is not also reported as a button";
    EXPECT_EQ(lastClick().element, "themepicker_segment_1");
    EXPECT_EQ(lastClick().elementLabel, "Dark");
    EXPECT_EQ(lastClick().properties->at("segment_index"), AnyCodable(1));
}

TEST_F(AutoTrackerClickTest, TypedTextIsNeverReported) {
    auto* field = new QLineEdit(&window_);
    layout_->addWidget(field);
    auto* search = addButton("Search");
    showActive(window_);
    field->setFocus();
    QTest::keyClicks(field, "John Appleseed 555 0100");
    QTest::keyClick(field, Qt::Key_Space);
    QTest::keyClick(field, Qt::Key_Return);
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::mouseClick(search, Qt::LeftButton);

    ASSERT_EQ(events("button_clicked").size(), 1u);
    for (const auto& event : events()) {
        EXPECT_EQ(nlohmann::json(event).dump().find("Appleseed"), std::string::npos);
    }
    for (const auto& crumb : breadcrumbs()) {
        EXPECT_EQ(toJson(crumb, JsonDates::iso8601).dump().find("Appleseed"), std::string::npos);
    }
}

TEST_F(AutoTrackerClickTest, UninstallStopsTracking) {
    auto* button = addButton("Display Conversation");
    showActive(window_);
    ASSERT_EQ(screens().size(), 1u);
    hooks_->uninstallAutoTracker();
    EXPECT_FALSE(MacOSAutoTracker::shared().isInstalled());

    QTest::mouseClick(button, Qt::LeftButton);
    QWidget other;
    trackScreen(&other, "ConversationView");
    showActive(other);
    showActive(window_);
    EXPECT_TRUE(events("button_clicked").empty());
    EXPECT_EQ(screens().size(), 1u);

    // Installing again tracks again, once per click.
    hooks_->installAutoTracker(AutoTrackingSettings{});
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(events("button_clicked").size(), 1u);
}

TEST_F(AutoTrackerClickTest, WithoutASharedClientClicksAreHarmless) {
    auto* button = addButton("Save");
    showActive(window_);
    Corvantesk::shutdown(std::chrono::seconds(1));
    MacOSAutoTracker::shared().install(); // installed by hand: a tracker outliving its client
    int clicked = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicked; });
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(clicked, 1);
}

TEST_F(AutoTrackerClickTest, TrackedButtonReportsOnceBeforeItsAction) {
    std::size_t clicksSeenByAction = 0;
    auto* button =
        new TrackedButton("Apply", "edit_apply", std::string("Apply Changes"), std::string("Edit"),
                          AnyMap{{"mode", "edit"}}, [&] { clicksSeenByAction = events("button_clicked").size(); });
    layout_->addWidget(button);
    showActive(window_);
    QTest::mouseClick(button, Qt::LeftButton);

    EXPECT_EQ(clicksSeenByAction, 1u);
    const auto clicks = events("button_clicked");
    ASSERT_EQ(clicks.size(), 1u); // not counted again by the automatic tracker
    EXPECT_EQ(clicks[0].element, "edit_apply");
    EXPECT_EQ(clicks[0].elementLabel, "Apply Changes");
    EXPECT_EQ(clicks[0].screen, "Edit");
    EXPECT_EQ(clicks[0].properties, (AnyMap{{"mode", "edit"}}));
}

TEST_F(AutoTrackerClickTest, TrackedToggleReportsUserChangesOnly) {
    auto* toggle = new TrackedToggle("Show attachments", "show_attachments");
    layout_->addWidget(toggle);
    showActive(window_);
    QTest::mouseClick(toggle, Qt::LeftButton);
    QTest::mouseClick(toggle, Qt::LeftButton);
    toggle->setChecked(true);

    const auto clicks = events("button_clicked");
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[0].element, "show_attachments");
    EXPECT_EQ(clicks[0].properties, (AnyMap{{"enabled", true}}));
    EXPECT_EQ(clicks[1].properties, (AnyMap{{"enabled", false}}));
}

TEST_F(AutoTrackerClickTest, ScreenTrackerAndNavigationLinkReportEachAppearance) {
    MacOSAutoTracker::shared().trackScreenViews = false; // only the widgets' own reports
    auto* page = new QWidget(&window_);
    layout_->addWidget(page);
    new CorvanteskScreenTracker(page, "Settings", std::string("Settings"), AnyMap{{"tab", "general"}});
    auto* detail = new QWidget(&window_);
    layout_->addWidget(detail);
    new TrackedNavigationLink(detail, std::string("MainView"), "ConversationView");
    auto* plain = new QWidget(&window_);
    layout_->addWidget(plain);
    new TrackedNavigationLink(plain, std::nullopt, "Help");
    showActive(window_);
    page->hide();
    page->show();

    EXPECT_EQ(screens(), (std::vector<std::string>{"Settings", "ConversationView", "Help", "Settings"}));
    EXPECT_EQ(events("screen_viewed")[0].properties, (AnyMap{{"tab", "general"}}));
    const auto navigation = breadcrumbs("navigation");
    ASSERT_EQ(navigation.size(), 1u);
    EXPECT_EQ(navigation[0].message, "Navigated from MainView to ConversationView");
}

} // namespace
} // namespace corvantesk::qttest
