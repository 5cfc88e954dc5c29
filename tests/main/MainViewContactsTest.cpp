#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

#include <filesystem>
#include <memory>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/HttpSender.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/main/MainView.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/PrivacyGate.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/qt/EventLoop.h"

namespace fs = std::filesystem;

namespace {

using quillobrandt::Conversation;
using quillobrandt::MainView;
using quillobrandt::PermissionManager;

class SilentSender final : public quillobrandt::HttpSender {
public:
    quillobrandt::HttpResponse send(const quillobrandt::HttpRequest&) override { return {204, std::nullopt}; }
};

void writeOneChat(const fs::path& file, const std::string& handle) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file);
    const auto chat = builder.addOneToOneChat(handle);
    builder.addMessageToChat(chat.chatId,
                             {.text = "Hi", .date = qbtest::storedNanoseconds(10), .handleId = chat.handleId});
    builder.finish();
}

class MainViewContactsTest : public ::testing::Test {
protected:
    MainViewContactsTest() {
        PermissionManager::resetContactCache();
        fake.contacts->setStatus(platform::ContactAuthorizationStatus::authorized);
        fake.contacts->setContacts({{"Jane", "Doe", {"+1 (555) 123-4567"}}});
        state.setHasContactsAccess(true);
        view.setAnalyticsManager(&analytics);
    }
    ~MainViewContactsTest() override {
        view.waitForBackgroundWork();
        PermissionManager::resetContactCache();
    }

    platform::FakePlatform fake;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<SilentSender>(), defaults};
    quillobrandt::AppState state{nullptr, &analytics};
    MainView view{&state};
};

TEST_F(MainViewContactsTest, LoadBuildsTheCacheSoTheListShowsContactNamesFirst) {
    const fs::path file = qbtest::IsolatedHome::root() / "db" / "chat.db";
    writeOneChat(file, "+15551234567");
    view.loadDatabase(file);
    ASSERT_TRUE(qbtest::processEventsUntil([this] { return !view.loadingState().isLoading; }));
    EXPECT_TRUE(PermissionManager::isContactCacheBuilt());
    EXPECT_FALSE(view.loadingState().isMatchingContacts) << "the cache was built during the load";
    const auto entries = view.filteredConversations();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, QStringLiteral("Jane Doe"));
    EXPECT_TRUE(entries[0].resolved);
}

TEST_F(MainViewContactsTest, AMenuLoadMatchesContactsOffTheGuiThreadAndRenamesTheList) {
    const fs::path file = qbtest::IsolatedHome::root() / "menu" / "chat.db";
    writeOneChat(file, "+15551234567");
    state.loadCustomDatabase(file); // File → Open Database…: the menu's pipeline, not the window's
    ASSERT_TRUE(state.waitForBackgroundLoads());
    ASSERT_TRUE(qbtest::processEventsUntil([this] { return state.conversations().size() == 1; }));
    EXPECT_TRUE(view.loadingState().isMatchingContacts) << "matching starts as soon as the list changes";
    ASSERT_TRUE(qbtest::processEventsUntil([this] { return !view.loadingState().isMatchingContacts; }));
    EXPECT_EQ(view.filteredConversations()[0].name, QStringLiteral("Jane Doe"));
    EXPECT_EQ(PermissionManager::cachedContactName("+15551234567"), std::optional<std::string>("Jane Doe"));
    EXPECT_EQ(fake.contacts->enumerationCount(), 1);
    EXPECT_EQ(fake.contacts->mainThreadEnumerationCount(), 0);
}

TEST_F(MainViewContactsTest, TurningContactsOffAndOnClearsTheCacheAndMatchesAgain) {
    state.setConversations({Conversation{"1", {"+15551234567"}, 1, {}}});
    ASSERT_TRUE(qbtest::processEventsUntil([this] { return !view.loadingState().isMatchingContacts; }));
    ASSERT_EQ(view.filteredConversations()[0].name, QStringLiteral("Jane Doe"));

    state.setContactsAllowed(false);
    EXPECT_FALSE(state.hasContactsAccess());
    EXPECT_FALSE(PermissionManager::isContactCacheBuilt());
    EXPECT_EQ(view.filteredConversations()[0].name, QStringLiteral("+15551234567"));

    fake.contacts->setContacts({{"Janet", "Doe", {"555 123 4567"}}});
    QSignalSpy built(&state, &quillobrandt::AppState::contactCacheBuilt);
    state.setContactsAllowed(true);
    EXPECT_TRUE(state.hasContactsAccess());
    EXPECT_TRUE(view.loadingState().isMatchingContacts);
    ASSERT_TRUE(qbtest::processEventsUntil([this] { return !view.loadingState().isMatchingContacts; }));
    EXPECT_EQ(view.filteredConversations()[0].name, QStringLiteral("Janet Doe"));
    EXPECT_EQ(built.count(), 1) << "an open conversation learns that the names are there again";
    EXPECT_EQ(fake.contacts->mainThreadEnumerationCount(), 0);
}

TEST_F(MainViewContactsTest, MatchingOnAppearStaysVisibleForAtLeastASecond) {
    state.setConversations({Conversation{"1", {"+15551234567"}, 0, {}}});
    EXPECT_EQ(view.filteredConversations()[0].name, QStringLiteral("+15551234567")) << "cache not built yet";
    QElapsedTimer timer;
    timer.start();
    view.show();
    EXPECT_TRUE(view.loadingState().isMatchingContacts);
    view.startContactMatching(); // already running: no second build
    ASSERT_TRUE(qbtest::processEventsUntil([this] { return !view.loadingState().isMatchingContacts; }));
    EXPECT_GE(timer.elapsed(), 950);
    EXPECT_EQ(view.filteredConversations()[0].name, QStringLiteral("Jane Doe"));
}

TEST_F(MainViewContactsTest, SearchFieldAndSelectionDriveTheDisplayButton) {
    state.setConversations({Conversation{"1", {"+15551234567"}, 1, {}}, Conversation{"2", {"bob@x.org"}, 1, {}}});
    auto* button = view.findChild<QPushButton*>(QStringLiteral("display_conversation"));
    auto* search = view.findChild<QLineEdit*>();
    ASSERT_NE(button, nullptr);
    ASSERT_NE(search, nullptr);
    EXPECT_FALSE(button->isEnabled());
    view.setSelectedConversationID("2");
    EXPECT_TRUE(button->isEnabled());
    search->setText(QStringLiteral("555"));
    EXPECT_EQ(view.searchText(), QStringLiteral("555"));
    EXPECT_FALSE(button->isEnabled());
    view.backToWelcome();
    EXPECT_EQ(view.searchText(), QStringLiteral("555")) << "going back keeps the search";
    EXPECT_FALSE(view.selectedConversationID().has_value());
}

TEST_F(MainViewContactsTest, TheSearchFieldsClearButtonIsOurSymbolAtItsFullSize) {
    state.setConversations({Conversation{"1", {"+15551234567"}, 1, {}}, Conversation{"2", {"bob@x.org"}, 1, {}}});
    view.resize(810, 690);
    view.show();
    auto* search = view.findChild<QLineEdit*>();
    ASSERT_NE(search, nullptr);
    auto* clear = search->findChild<quillobrandt::SymbolButton*>(QStringLiteral("clearSearchButton"));
    ASSERT_NE(clear, nullptr);
    EXPECT_FALSE(clear->isVisibleTo(search)) << "nothing to clear";
    search->setText(QStringLiteral("bob"));
    ASSERT_TRUE(clear->isVisibleTo(search));
    EXPECT_EQ(clear->property("symbolName").toString(), QStringLiteral("xmark.circle.fill"));
    EXPECT_EQ(clear->accessibleName(), QStringLiteral("Clear Search"));
    EXPECT_GE(clear->width(), clear->minimumSizeHint().width());
    EXPECT_GE(clear->height(), clear->minimumSizeHint().height());
    EXPECT_TRUE(search->rect().contains(clear->geometry()));
    clear->click();
    EXPECT_EQ(search->text(), QString());
    EXPECT_EQ(view.searchText(), QString());
    EXPECT_FALSE(clear->isVisibleTo(search));
}

TEST(MainViewGateTest, WithADiskAccessGateMissingAccessAndEmptyResultsAskForIt) {
    platform::FakePlatform fake(true);
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<SilentSender>(), defaults};
    quillobrandt::AppState state{nullptr, &analytics};
    MainView view{&state};
    state.setHasFullDiskAccess(false);
    fake.alerts->answerNext(0); // Open System Settings
    view.loadMacMessages();
    qbtest::drainEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, QStringLiteral("Full Disk Access Required"));
    EXPECT_EQ(fake.desktop->openedUrls.size(), 1u);
    EXPECT_FALSE(view.loadingState().isLoading);

    const fs::path empty = qbtest::IsolatedHome::root() / "empty" / "chat.db";
    fs::create_directories(empty.parent_path());
    qbtest::MessagesDatabaseBuilder(empty).finish();
    fake.alerts->answerNext(1);
    view.loadDatabase(empty);
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return fake.alerts->alerts().size() == 2; }));
    EXPECT_EQ(fake.alerts->alerts()[1].messageText, QStringLiteral("Full Disk Access Required"));
    view.waitForBackgroundWork();
}

} // namespace
