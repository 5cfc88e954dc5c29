#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QPixmap>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "Quillobrandt/main/LoadingOverlay.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "Corvantesk/qt/ViewTagging.h"
#include "Quillobrandt/app/AppDelegate.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/HttpSender.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/app/TextContrast.h"
#include "Quillobrandt/main/MainView.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/NotificationRecorder.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/support/qt/FocusVisibility.h"

namespace fs = std::filesystem;

namespace {

using quillobrandt::Conversation;
using quillobrandt::MainFace;
using quillobrandt::MainView;
namespace notification = platform::notification;

class RecordingSender final : public quillobrandt::HttpSender {
public:
    quillobrandt::HttpResponse send(const quillobrandt::HttpRequest& request) override {
        std::lock_guard lock(mutex_);
        bodies_.push_back(request.body);
        return {204, std::nullopt};
    }
    std::vector<std::string> bodies() const {
        std::lock_guard lock(mutex_);
        return bodies_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> bodies_;
};

// Two chats: +15551234567 (two messages, one from a row kept only in the WAL when asked) and a group of three.
void writeMessagesDatabase(const fs::path& file, qbtest::JournalMode mode = qbtest::JournalMode::rollback) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file, mode);
    const auto direct = builder.addOneToOneChat("+15551234567");
    builder.addMessageToChat(direct.chatId,
                             {.text = "Hi", .date = qbtest::storedNanoseconds(1000), .handleId = direct.handleId});
    if (mode == qbtest::JournalMode::wal) {
        builder.checkpoint();
    }
    const auto group = builder.addChat({.chatIdentifier = "chat42", .style = 43});
    for (const char* handle : {"+15550000001", "+15550000002", "family@example.com"}) {
        builder.addChatHandle(group, builder.addHandle(handle));
    }
    builder.addMessageToChat(group, {.text = "Dinner?", .date = qbtest::storedNanoseconds(2000), .handleId = 0});
    if (mode == qbtest::JournalMode::wal) {
        builder.finishLeavingWal(); // the group chat exists only in chat.db-wal
    } else {
        builder.finish();
    }
}

std::string readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Conversation makeConversation(std::string id, std::vector<std::string> participants, std::size_t messages = 1) {
    Conversation c{std::move(id), std::move(participants), static_cast<std::int64_t>(messages), {}};
    c.messages.resize(messages);
    return c;
}

class MainViewTest : public ::testing::Test {
protected:
    MainViewTest() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        view.setAnalyticsManager(&analytics);
        QObject::connect(&view, &MainView::conversationOpenRequested,
                         [this](const std::shared_ptr<const Conversation>& c) {
                             opened.push_back(c->id);
                             openedShared.push_back(c);
                         });
    }
    ~MainViewTest() override { view.waitForBackgroundWork(); }

    void waitForLoad() {
        ASSERT_TRUE(qbtest::processEventsUntil([this] { return !view.loadingState().isLoading; }));
        qbtest::drainEvents();
    }
    std::vector<QSizeF> resizes() const {
        std::vector<QSizeF> sizes;
        for (const auto& [name, info] : recorder.posted()) {
            if (name == notification::resizeWindow) {
                sizes.push_back(platform::resizeWindowSize(info).value_or(QSizeF()));
            }
        }
        return sizes;
    }
    std::string analyticsBodies() {
        analytics.waitUntilIdle();
        std::string all;
        for (const auto& body : sender->bodies()) {
            all += body + "\n";
        }
        return all;
    }

    platform::FakePlatform fake;
    platform::NotificationRecorder recorder;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    std::shared_ptr<RecordingSender> sender = std::make_shared<RecordingSender>();
    quillobrandt::GoogleAnalyticsManager analytics{{"G-TEST", "secret"}, sender, defaults};
    quillobrandt::AppState state{nullptr, &analytics};
    MainView view{&state};
    std::vector<std::string> opened;
    std::vector<std::shared_ptr<const Conversation>> openedShared;
};

TEST_F(MainViewTest, MacLoadShowsProgressFillsTheListAndGrowsTheWindow) {
    const fs::path file = platform::homeDir() / "Library/Messages/chat.db";
    writeMessagesDatabase(file);
    EXPECT_EQ(view.face(), MainFace::startScreen);
    EXPECT_EQ(view.size(), QSize(550, 380));

    view.loadMacMessages();
    EXPECT_TRUE(view.loadingState().isLoading);
    EXPECT_TRUE(view.loadingState().overlayVisible());
    EXPECT_EQ(view.loadingState().loadingMessage, "Opening database...");
    waitForLoad();

    EXPECT_GT(view.loadingState().loadingProgress, 0.0);
    EXPECT_EQ(state.conversations().size(), 2u);
    EXPECT_EQ(view.face(), MainFace::conversationList);
    EXPECT_EQ(view.size(), QSize(810, 690));
    EXPECT_EQ(resizes(), (std::vector<QSizeF>{QSizeF(810, 690)}));
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(file));
    EXPECT_TRUE(fake.securityScope->allClosed());
    EXPECT_TRUE(fake.alerts->alerts().empty());
}

// On a small or scaled screen the main window holds less than the designed 810 by 690, and the list shrinks to it,
// filling the window's width (CTest also runs this on a 900 by 600 screen and on a 1366 by 768 one at scale 1.5,
// see this folder's CMakeLists.txt). A history that replaces the shown one (the wizard's load, which keeps the
// list's face) must not stretch it back.
TEST_F(MainViewTest, AListThatReplacesTheShownOneKeepsToTheWindowsRoom) {
    quillobrandt::MainWindow window;
    window.setContent(&view);
    const auto release = qScopeGuard([this] { view.setParent(nullptr); }); // the fixture owns the view
    window.resizeContent(quillobrandt::kStartScreenSize);
    window.show();
    auto* button = view.findChild<QPushButton*>("display_conversation");
    ASSERT_NE(button, nullptr);
    for (const char* id : {"first", "second"}) {
        state.setConversations({makeConversation(id, {"+15551234567"})});
        window.resizeContent(quillobrandt::kConversationListSize); // as the load's "ResizeWindow" asks
        qbtest::drainEvents();
        const QRect room = window.centralWidget()->rect();
        EXPECT_EQ(view.size(), room.size()) << id << ": the list fills the window, no blank strip beside it";
        EXPECT_TRUE(room.contains(QRect(button->mapTo(window.centralWidget(), QPoint(0, 0)), button->size())))
            << id << ": the footer's button stays in the window";
    }
}

TEST_F(MainViewTest, FolderImportLoadsAPrivateCopyAndLeavesTheSourceUntouched) {
    const fs::path folder = qbtest::IsolatedHome::root() / "Copied Messages";
    writeMessagesDatabase(folder / "chat.db", qbtest::JournalMode::wal);
    ASSERT_TRUE(fs::exists(folder / "chat.db-wal"));
    std::map<fs::path, std::string> before;
    for (const auto& entry : fs::directory_iterator(folder)) {
        before[entry.path()] = readBytes(entry.path());
    }

    fake.panels->answerNext(QString::fromStdString(folder.string()));
    view.openMessagesFolder();
    waitForLoad();

    ASSERT_EQ(fake.panels->folderRequests().size(), 1u);
    EXPECT_EQ(state.conversations().size(), 2u) << "the chat kept only in the WAL must be loaded too";
    // Read from a private snapshot, which goes with the load; the list's source is the picked database.
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(folder / "chat.db"));
    EXPECT_TRUE(fs::is_empty(platform::privateTempDir()));
    EXPECT_EQ(state.attachmentBaseURL(), std::optional<fs::path>(folder));
    EXPECT_TRUE(state.isAccessingAttachmentFolder());

    std::map<fs::path, std::string> after;
    for (const auto& entry : fs::directory_iterator(folder)) {
        after[entry.path()] = readBytes(entry.path());
    }
    EXPECT_EQ(after, before);

    view.backToWelcome();
    EXPECT_EQ(view.face(), MainFace::startScreen);
    EXPECT_FALSE(state.isAccessingAttachmentFolder());
    EXPECT_FALSE(state.databaseURL().has_value());
    EXPECT_EQ(resizes().back(), QSizeF(550, 380));
}

TEST_F(MainViewTest, FolderImportCopiesOffTheGuiThreadBehindTheOverlay) {
    const fs::path folder = qbtest::IsolatedHome::root() / "Picked Messages";
    writeMessagesDatabase(folder / "chat.db", qbtest::JournalMode::wal);
    view.handleFolderSelection(folder);
    // Back at once: the copy has not held up the window, and the overlay says what is going on.
    EXPECT_TRUE(view.loadingState().isLoading);
    EXPECT_EQ(view.loadingState().loadingMessage, "Copying database...");
    auto* overlay = view.findChild<quillobrandt::LoadingOverlay*>();
    ASSERT_NE(overlay, nullptr);
    EXPECT_EQ(overlay->messageText(), QStringLiteral("Copying database..."));
    waitForLoad();
    EXPECT_EQ(state.conversations().size(), 2u);
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(folder / "chat.db"));
    // The log names the database the user picked, not a working copy read in its stead.
    EXPECT_NE(quillobrandt::Logger::shared().getAllLogs().find("Opening database at: " + (folder / "chat.db").string() +
                                                               "\n"),
              std::string::npos);

    // A folder whose database cannot be copied is reported as the snapshot says, and the folder is let go again.
    const fs::path uncopyable = qbtest::IsolatedHome::root() / "Uncopyable";
    fs::create_directories(uncopyable / "chat.db-wal"); // a folder where the log should be
    std::ofstream(uncopyable / "chat.db") << "x";
    view.handleFolderSelection(uncopyable);
    EXPECT_EQ(view.loadingState().loadingMessage, "Copying database...");
    waitForLoad();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText,
              QString::fromUtf8(quillobrandt::DatabaseError::cannotOpenDatabase().description()));
    EXPECT_FALSE(state.isAccessingAttachmentFolder());
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(folder / "chat.db")) << "the list's own source stays";
    EXPECT_EQ(state.conversations().size(), 2u);
}

TEST_F(MainViewTest, FailedImportNeverLeavesTheListPointingAtAnotherDatabase) {
    const fs::path first = qbtest::IsolatedHome::root() / "First";
    writeMessagesDatabase(first / "chat.db");
    view.handleFolderSelection(first);
    waitForLoad();
    ASSERT_EQ(state.conversations().size(), 2u);
    ASSERT_TRUE(state.databaseURL().has_value());

    const fs::path second = qbtest::IsolatedHome::root() / "Second";
    fs::create_directories(second);
    std::ofstream(second / "chat.db") << "not a database";
    view.handleFolderSelection(second);
    waitForLoad();

    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(state.conversations().size(), 2u) << "the earlier list stays";
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(first / "chat.db")) << "with its own source";
}

TEST_F(MainViewTest, FolderWithoutDatabaseIsReportedWithoutLoading) {
    const fs::path folder = qbtest::IsolatedHome::root() / "Empty";
    fs::create_directories(folder);
    view.handleFolderSelection(folder);
    qbtest::drainEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText,
              QStringLiteral("Could not find chat.db in the selected folder. Please select the Messages folder."));
    EXPECT_FALSE(view.loadingState().isLoading);
    EXPECT_FALSE(state.isAccessingAttachmentFolder());
}

TEST_F(MainViewTest, FailedLoadShowsTheErrorAndKeepsTheEarlierListAndSource) {
    const fs::path good = qbtest::IsolatedHome::root() / "good" / "chat.db";
    writeMessagesDatabase(good);
    view.loadDatabase(good);
    waitForLoad();
    ASSERT_EQ(view.face(), MainFace::conversationList);

    const fs::path broken = qbtest::IsolatedHome::root() / "broken" / "chat.db";
    fs::create_directories(broken.parent_path());
    std::ofstream(broken) << "this is not a database";
    view.loadDatabase(broken);
    waitForLoad();

    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& alert = fake.alerts->alerts()[0];
    EXPECT_EQ(alert.messageText, QStringLiteral("Error"));
    EXPECT_EQ(alert.style, platform::AlertStyle::critical);
    EXPECT_FALSE(alert.informativeText.isEmpty());
    EXPECT_EQ(view.face(), MainFace::conversationList);
    EXPECT_EQ(state.conversations().size(), 2u);
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(good));
    EXPECT_FALSE(view.loadingState().overlayVisible());
    EXPECT_TRUE(fake.securityScope->allClosed());
}

TEST_F(MainViewTest, EmptyDatabaseWithoutGateSaysSoInsteadOfAskingForDiskAccess) {
    const fs::path empty = qbtest::IsolatedHome::root() / "empty" / "chat.db";
    fs::create_directories(empty.parent_path());
    qbtest::MessagesDatabaseBuilder(empty).finish();
    view.loadDatabase(empty);
    waitForLoad();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText,
              QStringLiteral("No conversations were found in this database."));
    EXPECT_TRUE(resizes().empty());
    EXPECT_EQ(view.face(), MainFace::startScreen);
    auto* note = view.findChild<QLabel*>("empty_database_text");
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisibleTo(&view)) << "the start screen says the database was empty";
    EXPECT_EQ(note->text(), QStringLiteral("No conversations were found in this database."));
    view.backToWelcome();
    EXPECT_FALSE(note->isVisibleTo(&view));
}

TEST_F(MainViewTest, TheListIsWalkedAndOpenedWithTheKeyboardAndSaysWhenNothingMatches) {
    state.setConversations({makeConversation("1", {"+15183808956"}), makeConversation("2", {"bob@example.com"})});
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    auto* search = view.findChild<QLineEdit*>();
    auto* list = view.findChild<QListView*>();
    search->setFocus();
    QTest::keyClick(search, Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget(), list) << "Down leaves the search field for the list";
    ASSERT_NE(view.selectedConversation(), nullptr);
    const std::string first = view.selectedConversation()->id;
    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_NE(view.selectedConversation(), nullptr);
    const std::string second = view.selectedConversation()->id;
    EXPECT_NE(first, second);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(opened, (std::vector<std::string>{second})) << "Return opens the selected row";
    const QRect row = list->visualRect(list->model()->index(0, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center()); // a double-click's first press
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_EQ(opened, (std::vector<std::string>{second, first})) << "a double-click opens it once";

    auto* empty = view.findChild<QLabel*>("empty_list_text");
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->isVisible());
    view.setSearchText(QStringLiteral("zed"));
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), QStringLiteral("No conversations match \u201Czed\u201D."));
    EXPECT_TRUE(list->viewport()->rect().contains(empty->geometry()));
    view.setSearchText(QStringLiteral("(518) 380"));
    EXPECT_FALSE(empty->isVisible());
    EXPECT_EQ(view.filteredConversations().size(), 1u) << "a number found by its digits";
}

// Where the keyboard is always shows, in a light and a dark palette: on the start screen's three sources and on
// the list's row reached with Tab.
TEST_F(MainViewTest, KeyboardFocusShowsOnTheStartScreenAndOnTheListRow) {
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    const QPalette light = view.palette();
    for (const bool dark : {false, true}) {
        const char* palette = dark ? " (dark)" : " (light)";
        view.setPalette(dark ? qbtest::darkPalette() : light);
        state.setConversations({});
        for (const char* name :
             {"send_feedback", "load_mac_messages", "load_iphone_messages", "open_messages_folder"}) {
            auto* control = view.findChild<QAbstractButton*>(QString::fromLatin1(name));
            ASSERT_NE(control, nullptr) << name;
            EXPECT_GE(qbtest::focusVisibility(*control), 3.0) << name << palette;
        }
        state.setConversations({makeConversation("1", {"+15183808956"}), makeConversation("2", {"bob@example.com"})});
        auto* back = view.findChild<QAbstractButton*>(QStringLiteral("back_to_welcome"));
        EXPECT_GE(qbtest::focusVisibility(*back), 3.0) << "Back" << palette;
        const QColor window = view.palette().color(QPalette::Window);
        EXPECT_GE(quillobrandt::contrastOver(back->palette().color(QPalette::ButtonText), window, window),
                  quillobrandt::readableContrast)
            << "Back" << palette;
        auto* search = view.findChild<QLineEdit*>();
        auto* list = view.findChild<QListView*>();
        search->setFocus(Qt::OtherFocusReason);
        qbtest::drainEvents();
        const QRect row = list->visualRect(list->model()->index(0, 0));
        const QImage plain = list->viewport()->grab(row).toImage();
        ASSERT_TRUE(qbtest::tabTo(*list)) << palette;
        qbtest::drainEvents();
        const QImage focused = list->viewport()->grab(row).toImage();
        EXPECT_GE(qbtest::strongestChange(plain, focused, list->palette().color(QPalette::Base)), 3.0)
            << "the row reached with Tab" << palette;
    }
}

// However the list arrives (the menu's load, a second one, the wizard's hand-over, this window's own load), the
// keyboard is in the search field; Escape there empties it.
TEST_F(MainViewTest, EveryLoadPutsTheKeyboardInTheSearchFieldAndEscapeEmptiesIt) {
    const fs::path file = qbtest::IsolatedHome::root() / "focus" / "chat.db";
    writeMessagesDatabase(file);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    auto* search = view.findChild<QLineEdit*>();
    auto* list = view.findChild<QListView*>();
    const auto finishMenuLoad = [&] {
        ASSERT_TRUE(state.waitForBackgroundLoads());
        ASSERT_TRUE(qbtest::processEventsUntil([&] { return !state.hasOutstandingLoads(); }));
        qbtest::drainEvents();
    };

    view.findChild<QAbstractButton*>(QStringLiteral("load_mac_messages"))->setFocus(Qt::TabFocusReason);
    state.loadCustomDatabase(file);
    finishMenuLoad();
    ASSERT_EQ(view.face(), MainFace::conversationList);
    EXPECT_EQ(QApplication::focusWidget(), search) << "after the menu's load from the start screen";

    list->setFocus(Qt::TabFocusReason);
    state.loadCustomDatabase(file);
    finishMenuLoad();
    EXPECT_EQ(QApplication::focusWidget(), search) << "after a second load from the menu";

    list->setFocus(Qt::TabFocusReason);
    state.beginLoad();
    state.commitLoad({file, file.parent_path(), true}, {makeConversation("9", {"+15550009999"})});
    state.endLoad();
    qbtest::drainEvents();
    EXPECT_EQ(QApplication::focusWidget(), search) << "after the wizard's hand-over";

    view.backToWelcome();
    view.loadDatabase(file);
    waitForLoad();
    EXPECT_EQ(QApplication::focusWidget(), search) << "after this window's own load";

    QTest::keyClicks(search, QStringLiteral("zed"));
    EXPECT_EQ(view.searchText(), QStringLiteral("zed"));
    QTest::keyClick(search, Qt::Key_Escape);
    EXPECT_EQ(view.searchText(), QString()) << "Escape empties the search";
    EXPECT_EQ(view.filteredConversations().size(), 2u);
}

// More conversations than the window shows bring the vertical scroll bar; the rows then fit the narrower list and
// nothing scrolls sideways.
TEST_F(MainViewTest, ALongListNeverScrollsSideways) {
    std::vector<quillobrandt::Conversation> many;
    for (int i = 0; i < 60; ++i) {
        many.push_back(makeConversation(std::to_string(i), {"+1555000" + std::to_string(1000 + i)}));
    }
    state.setConversations(many);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    auto* list = view.findChild<QListView*>();
    ASSERT_TRUE(list->verticalScrollBar()->isVisible());
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
    const QRect row = list->visualRect(list->model()->index(0, 0));
    EXPECT_LE(row.right(), list->viewport()->rect().right());
    EXPECT_EQ(row.width(), list->viewport()->width()) << "a row (and its selection) spans the list";
}

TEST_F(MainViewTest, ListIsNamedFromLabelsSortedNaturallyAndFilteredBySearch) {
    state.setHasContactsAccess(true);
    state.setParticipantLabel("+15550001111", "Zoe");
    state.setConversations(
        {makeConversation("1", {"a10"}), makeConversation("2", {"a2"}), makeConversation("3", {"+15550001111"})});
    auto names = [this] {
        std::vector<QString> result;
        for (const auto& entry : view.filteredConversations()) {
            result.push_back(entry.name);
        }
        return result;
    };
    EXPECT_EQ(names(), (std::vector<QString>{"Zoe", "a2", "a10"}));

    view.setSelectedConversationID("2");
    ASSERT_NE(view.selectedConversation(), nullptr);
    view.setSearchText(QStringLiteral("ZO"));
    EXPECT_EQ(names(), (std::vector<QString>{"Zoe"}));
    EXPECT_EQ(view.selectedConversation(), nullptr) << "hidden by the search";
    view.displaySelectedConversation();
    EXPECT_TRUE(opened.empty());
    view.setSearchText(QString());
    ASSERT_NE(view.selectedConversation(), nullptr);
    EXPECT_EQ(view.selectedConversation()->id, "2");
}

TEST_F(MainViewTest, OpeningAConversationEmitsItAndReportsTheEvent) {
    Conversation group = makeConversation("7", {"a", "b", "c"}, 3);
    group.messages[0].attachments.resize(1);
    state.setConversations({group});
    view.setSelectedConversationID("7");
    view.displaySelectedConversation();
    EXPECT_EQ(opened, (std::vector<std::string>{"7"}));
    EXPECT_TRUE(view.showingConversationWindow());
    const std::string sent = analyticsBodies();
    EXPECT_NE(sent.find("conversation_opened"), std::string::npos);
    EXPECT_NE(sent.find("\"is_group_chat\":true"), std::string::npos);
    EXPECT_NE(sent.find("\"has_media\":true"), std::string::npos);
}

TEST_F(MainViewTest, LargeConversationAsksFirstAndHonoursBothAnswers) {
    state.setConversations({makeConversation("big", {"a"}, 20000), makeConversation("almost", {"b"}, 19999)});

    view.setSelectedConversationID("almost");
    view.displaySelectedConversation();
    EXPECT_EQ(opened, (std::vector<std::string>{"almost"}));
    EXPECT_TRUE(fake.alerts->alerts().empty());

    view.setSelectedConversationID("big");
    fake.alerts->answerNext(1); // Cancel
    view.displaySelectedConversation();
    qbtest::drainEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_TRUE(
        fake.alerts->alerts()[0].informativeText.startsWith(QStringLiteral("This conversation has 20,000 messages.")));
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_EQ(view.pendingLargeConversation(), nullptr);

    fake.alerts->answerNext(0); // Proceed
    view.displaySelectedConversation();
    qbtest::drainEvents();
    EXPECT_EQ(opened, (std::vector<std::string>{"almost", "big"}));
    EXPECT_EQ(view.pendingLargeConversation(), nullptr);
    const std::string sent = analyticsBodies();
    EXPECT_NE(sent.find("large_conversation_warning"), std::string::npos);
    EXPECT_NE(sent.find("large_conversation_proceeded"), std::string::npos);

    view.proceedWithLargeConversation(); // nothing pending: nothing opens
    EXPECT_EQ(opened.size(), 2u);
}

// One chat with a single message: tells its load apart from writeMessagesDatabase's two chats.
TEST_F(MainViewTest, AnOpenedConversationIsTheLoadedOneNotACopy) {
    state.setConversations({makeConversation("small", {"a"}, 3), makeConversation("big", {"b"}, 20000)});
    const Conversation* const small = &state.conversations()[0];
    const Conversation* const big = &state.conversations()[1];
    const quillobrandt::Message* const bigMessages = big->messages.data();

    view.setSelectedConversationID("small");
    view.displaySelectedConversation();
    view.setSelectedConversationID("big");
    fake.alerts->answerNext(0); // Proceed: the conversation waited for the answer, shared, not copied
    view.displaySelectedConversation();
    qbtest::drainEvents();
    ASSERT_EQ(openedShared.size(), 2u);
    EXPECT_EQ(openedShared[0].get(), small);
    EXPECT_EQ(openedShared[1].get(), big);
    EXPECT_EQ(openedShared[1]->messages.data(), bigMessages);
    EXPECT_EQ(view.pendingLargeConversation(), nullptr);

    // An open conversation stays whole when the list is emptied or replaced behind it.
    view.backToWelcome();
    state.setConversations({makeConversation("other", {"c"}, 1)});
    EXPECT_EQ(openedShared[1]->id, "big");
    EXPECT_EQ(openedShared[1]->messages.size(), 20000u);
}

void writeOneChatDatabase(const fs::path& file) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file);
    const auto chat = builder.addOneToOneChat("+15559876543");
    builder.addMessageToChat(chat.chatId,
                             {.text = "Yo", .date = qbtest::storedNanoseconds(5), .handleId = chat.handleId});
    builder.finish();
}

// Delivers only what the finished workers of `receiver` sent back, so a test decides which outcome
// arrives first.
void deliverTo(QObject* receiver) {
    QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
}

TEST_F(MainViewTest, TheMenuLoadAskedForLastWinsOverAnOlderWindowLoadThatEndsLater) {
    const fs::path windowFile = qbtest::IsolatedHome::root() / "window" / "chat.db";
    const fs::path menuFile = qbtest::IsolatedHome::root() / "menu" / "chat.db";
    writeMessagesDatabase(windowFile);
    writeOneChatDatabase(menuFile);
    view.loadDatabase(windowFile);
    state.loadCustomDatabase(menuFile); // asked for last
    ASSERT_TRUE(view.waitForBackgroundWork());
    ASSERT_TRUE(state.waitForBackgroundLoads());

    deliverTo(&state); // the menu's load ends first...
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(menuFile));
    EXPECT_EQ(view.face(), MainFace::loadingDatabase) << "the window's load is still outstanding";
    deliverTo(&view); // ...the window's older one last
    qbtest::drainEvents();

    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(menuFile));
    ASSERT_EQ(state.conversations().size(), 1u);
    EXPECT_EQ(state.conversations()[0].participants, std::vector<std::string>{"+15559876543"});
    EXPECT_EQ(state.attachmentBaseURL(), std::optional<fs::path>(menuFile.parent_path()));
    EXPECT_FALSE(view.loadingState().overlayVisible());
    EXPECT_EQ(view.face(), MainFace::conversationList);
    EXPECT_EQ(recorder.names().count(notification::databaseLoadingCompleted), 1);
    EXPECT_TRUE(fake.alerts->alerts().empty());
}

TEST_F(MainViewTest, TheWindowLoadAskedForLastWinsOverAnOlderMenuLoadThatEndsLater) {
    const fs::path menuFile = qbtest::IsolatedHome::root() / "menu" / "chat.db";
    const fs::path windowFile = qbtest::IsolatedHome::root() / "window" / "chat.db";
    writeOneChatDatabase(menuFile);
    writeMessagesDatabase(windowFile);
    state.loadCustomDatabase(menuFile);
    view.loadDatabase(windowFile); // asked for last
    ASSERT_TRUE(view.waitForBackgroundWork());
    ASSERT_TRUE(state.waitForBackgroundLoads());

    deliverTo(&view); // the window's load ends first...
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(windowFile));
    deliverTo(&state); // ...the menu's older one last
    qbtest::drainEvents();

    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(windowFile));
    EXPECT_EQ(state.conversations().size(), 2u);
    EXPECT_FALSE(state.attachmentBaseURL().has_value());
    EXPECT_EQ(view.face(), MainFace::conversationList) << "the loading face came down with the last load";
    EXPECT_EQ(recorder.names().count(notification::databaseLoadingCompleted), 1);
    EXPECT_TRUE(fake.alerts->alerts().empty());
}

TEST_F(MainViewTest, AnOlderFailureAfterANewerSuccessShowsNoAlert) {
    const fs::path windowFile = qbtest::IsolatedHome::root() / "window" / "chat.db";
    writeMessagesDatabase(windowFile);
    state.loadCustomDatabase(qbtest::IsolatedHome::root() / "missing" / "chat.db");
    view.loadDatabase(windowFile);
    ASSERT_TRUE(view.waitForBackgroundWork());
    ASSERT_TRUE(state.waitForBackgroundLoads());
    deliverTo(&view);
    deliverTo(&state);
    qbtest::drainEvents();
    EXPECT_EQ(state.databaseURL(), std::optional<fs::path>(windowFile));
    EXPECT_TRUE(fake.alerts->alerts().empty()) << "the user is not told an older choice failed";
}

TEST_F(MainViewTest, ClosingTheWindowDuringALoadDropsTheResult) {
    const fs::path file = qbtest::IsolatedHome::root() / "late" / "chat.db";
    writeMessagesDatabase(file);
    auto closing = std::make_unique<MainView>(&state);
    closing->loadDatabase(file);
    closing.reset();
    qbtest::drainEvents();
    EXPECT_TRUE(state.conversations().empty());
    EXPECT_TRUE(fake.alerts->alerts().empty());
    EXPECT_FALSE(state.hasOutstandingLoads()) << "a closed window's load holds no loading face up";
}

TEST_F(MainViewTest, BackLetsTheLoadedHistoryGo) {
    const fs::path file = qbtest::IsolatedHome::root() / "back" / "chat.db";
    writeMessagesDatabase(file);
    view.loadDatabase(file);
    waitForLoad();
    const std::weak_ptr<const std::vector<Conversation>> history = state.history();
    ASSERT_EQ(history.lock()->size(), 2u);
    view.setSelectedConversationID(history.lock()->front().id);
    view.displaySelectedConversation();
    ASSERT_EQ(opened.size(), 1u);
    openedShared.clear(); // the conversation window closes
    view.conversationWindowClosed();

    view.backToWelcome();
    EXPECT_TRUE(history.expired()) << "nothing keeps the history once the user went back";
    EXPECT_EQ(view.face(), MainFace::startScreen);
    EXPECT_TRUE(view.filteredConversations().empty());
}

TEST_F(MainViewTest, QuittingDuringALoadStopsItAndWaitsForTheLoaderThread) {
    const fs::path file = qbtest::IsolatedHome::root() / "big" / "chat.db";
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 200, .messagesPerChat = 500});
    const auto stopLines = [] {
        const std::string logs = quillobrandt::Logger::shared().getAllLogs();
        std::size_t count = 0;
        for (auto at = logs.find("⏹️ Load stopped"); at != std::string::npos;
             at = logs.find("⏹️ Load stopped", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t before = stopLines();
    auto quittingState = std::make_unique<quillobrandt::AppState>(nullptr, &analytics);
    auto window = std::make_unique<MainView>(quittingState.get());
    window->loadDatabase(file);
    ASSERT_TRUE(qbtest::processEventsUntil(
        [&] { return window->loadingState().loadingMessage.rfind("Loading conversations", 0) == 0; }));
    window.reset();
    quittingState.reset(); // the application's end: the loader is asked to stop and joined
    EXPECT_GT(stopLines(), before) << "the load was stopped, not finished or left running";
    qbtest::drainEvents();
    EXPECT_TRUE(fake.alerts->alerts().empty()) << "a stop is no failure to report";
}

TEST_F(MainViewTest, FacesPaintAndTheirControlsAct) {
    view.show();
    EXPECT_FALSE(view.grab().isNull());
    auto* feedback = view.findChild<QToolButton*>(QStringLiteral("send_feedback"));
    ASSERT_NE(feedback, nullptr);
    feedback->click();
    EXPECT_TRUE(recorder.names().contains(platform::notification::showFeedback));
    auto* mac = view.findChild<QToolButton*>(QStringLiteral("load_mac_messages"));
    ASSERT_NE(mac, nullptr);
    EXPECT_EQ(corvantesk::corvanteskTrackingID(mac), std::optional<QString>(QStringLiteral("load_mac_messages")));
    EXPECT_EQ(corvantesk::corvanteskTrackingLabel(mac), std::optional<QString>(QStringLiteral("Load Mac Messages")));
    EXPECT_EQ(corvantesk::corvanteskScreenName(mac), std::optional<QString>(QStringLiteral("MainView")));

    state.setConversations({makeConversation("1", {"a", "b", "c"}), makeConversation("2", {})});
    EXPECT_FALSE(view.grab().isNull()); // the painted rows, group symbol and "Unknown" included

    const fs::path file = qbtest::IsolatedHome::root() / "paint" / "chat.db";
    writeMessagesDatabase(file);
    view.loadDatabase(file);
    auto* overlay = view.findChild<quillobrandt::LoadingOverlay*>();
    ASSERT_NE(overlay, nullptr);
    EXPECT_TRUE(overlay->isVisible());
    EXPECT_EQ(overlay->messageText(), QStringLiteral("Opening database..."));
    EXPECT_EQ(overlay->percentText(), QStringLiteral("0%"));
    EXPECT_FALSE(view.grab().isNull());
    waitForLoad();
    EXPECT_FALSE(overlay->isVisible());
}

// The two source cards side by side read as a pair: titles on one line, captions on one baseline.
TEST_F(MainViewTest, StartScreenCardsAlignTheirTitlesAndCaptions) {
    view.resize(550, 380);
    view.show();
    qbtest::drainEvents();
    const auto label = [&](const QString& text) {
        for (QLabel* candidate : view.findChildren<QLabel*>()) {
            if (candidate->text() == text) {
                return candidate;
            }
        }
        ADD_FAILURE() << text.toStdString();
        return static_cast<QLabel*>(nullptr);
    };
    QLabel* macTitle = label(QStringLiteral("Load Messages from Mac"));
    QLabel* phoneTitle = label(QStringLiteral("Load iPhone Messages"));
    QLabel* macCaption = label(QStringLiteral("Access your Mac's Messages app"));
    QLabel* phoneCaption = label(QStringLiteral("Connect your iPhone via USB"));
    ASSERT_TRUE(macTitle && phoneTitle && macCaption && phoneCaption);
    for (QLabel* title : {macTitle, phoneTitle}) {
        EXPECT_GE(title->width(), title->fontMetrics().horizontalAdvance(title->text()))
            << title->text().toStdString() << " fits on one line";
    }
    const auto top = [&](QLabel* l) { return l->mapTo(&view, QPoint(0, 0)).y(); };
    EXPECT_EQ(top(macTitle), top(phoneTitle));
    EXPECT_EQ(top(macCaption), top(phoneCaption));
    EXPECT_EQ(macCaption->height(), phoneCaption->height());
}

TEST_F(MainViewTest, StartScreenAndListSayWhatIsTrueOnLinux) {
    auto* icon = view.findChild<quillobrandt::SymbolIcon*>(QStringLiteral("start_screen_icon"));
    ASSERT_NE(icon, nullptr) << "the program's own icon, not a theme icon no desktop has";
    EXPECT_EQ(icon->name(), QStringLiteral("AppIcon"));
    EXPECT_EQ(icon->size(), QSize(80, 80));

    QStringList texts;
    for (const QLabel* label : view.findChildren<QLabel*>()) {
        texts << label->text();
    }
    EXPECT_TRUE(texts.contains(QStringLiteral("Showing all conversations in this database")));
    EXPECT_FALSE(texts.contains(QStringLiteral("Showing all conversations on this Mac")));

    // The missing-file hint gives the same place to copy to as the menu's, not one level too deep.
    view.loadMacMessages();
    qbtest::drainEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const QString hint = fake.alerts->alerts()[0].informativeText;
    const QString library = QString::fromStdString((platform::homeDir() / "Library").string());
    EXPECT_TRUE(hint.contains(QStringLiteral("copy its Messages folder (~/Library/Messages) to ") + library + "."))
        << hint.toStdString();
    EXPECT_TRUE(hint.contains(QString::fromStdString(quillobrandt::PermissionManager::messagesFolderCopyHint())));
    EXPECT_FALSE(view.loadingState().isLoading);
}

TEST_F(MainViewTest, NotificationsDriveTheWizardAndTheMenuLoadingFace) {
    int wizardRequests = 0;
    QObject::connect(&view, &MainView::backupWizardRequested, [&wizardRequests] { ++wizardRequests; });
    view.loadIPhoneMessages();
    EXPECT_TRUE(recorder.names().contains(notification::showBackupWizard));
    EXPECT_TRUE(view.showingBackupWizard());
    EXPECT_EQ(wizardRequests, 1);

    auto& hub = platform::NotificationHub::defaultCenter();
    hub.post(notification::databaseLoadingStarted);
    EXPECT_EQ(view.face(), MainFace::loadingDatabase);
    hub.post(notification::databaseLoadingCompleted);
    EXPECT_EQ(view.face(), MainFace::startScreen);
}

} // namespace
