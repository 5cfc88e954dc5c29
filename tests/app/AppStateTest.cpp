#include "Quillobrandt/app/AppState.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "tests/app/RecordingHttpSender.h"
#include "tests/support/MessagesDatabaseBuilder.h"

namespace {

using platform::ContactAuthorizationStatus;
using quillobrandt::AppState;
using quillobrandt::AppTheme;

void writeMacMessagesDatabase() {
    const auto path = platform::homeDir() / "Library/Messages/chat.db";
    std::filesystem::create_directories(path.parent_path());
    qbtest::MessagesDatabaseBuilder builder(path);
    builder.finish();
}

// A state wired to its own hub and a disabled analytics client, over the fake platform.
class AppStateTest : public ::testing::Test {
protected:
    explicit AppStateTest(bool gate = false) : fake(gate) {}

    std::unique_ptr<AppState> makeState() { return std::make_unique<AppState>(&hub, &analytics); }

    platform::FakePlatform fake;
    platform::NotificationHub hub;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<qbtest::RecordingHttpSender>(), defaults};
};

class GatedAppStateTest : public AppStateTest {
protected:
    GatedAppStateTest() : AppStateTest(true) {}
};

TEST_F(AppStateTest, FreshStateOnLinuxGoesFromSplashToTheContactsQuestion) {
    auto state = makeState();
    EXPECT_TRUE(state->showSplash());
    EXPECT_TRUE(state->hasFullDiskAccess()) << "no gate, no waiting";
    EXPECT_FALSE(state->hasContactsAccess());
    EXPECT_FALSE(state->showContactsRequest());
    EXPECT_TRUE(state->conversations().empty());
    EXPECT_FALSE(state->databaseURL().has_value());
    EXPECT_EQ(state->appTheme(), AppTheme::quillobrandt);
    EXPECT_FALSE(state->isIPhoneBackup());

    QSignalSpy splash(state.get(), &AppState::showSplashChanged);
    QSignalSpy contacts(state.get(), &AppState::showContactsRequestChanged);
    testing::internal::CaptureStdout();
    state->dismissSplash();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "🔍 Checking if should request Contacts...\n"
                                                      "   - hasContactsAccess: false\n"
                                                      "   - Contacts status: 0\n"
                                                      "✅ Will show Contacts request\n");
    EXPECT_FALSE(state->showSplash());
    EXPECT_TRUE(state->showContactsRequest());
    EXPECT_EQ(splash.count(), 1);
    EXPECT_EQ(contacts.count(), 1);
}

TEST_F(AppStateTest, DecidedContactsLeadStraightToTheMainContent) {
    fake.contacts->setStatus(ContactAuthorizationStatus::denied);
    auto state = makeState();
    testing::internal::CaptureStdout();
    state->dismissSplash();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("⏭️ Skipping Contacts request"), std::string::npos);
    EXPECT_FALSE(state->showSplash());
    EXPECT_FALSE(state->showContactsRequest());
    EXPECT_FALSE(state->hasContactsAccess());
}

TEST_F(AppStateTest, AuthorisedContactsAreSeenAtCreation) {
    fake.contacts->setStatus(ContactAuthorizationStatus::authorized);
    auto state = makeState();
    EXPECT_TRUE(state->hasContactsAccess());
    state->setShowContactsRequest(true);
    state->checkIfShouldRequestContacts();
    EXPECT_TRUE(state->showContactsRequest()) << "the check never clears the flag";
}

TEST_F(AppStateTest, RestrictedContactsAreNoAccess) {
    fake.contacts->setStatus(ContactAuthorizationStatus::restricted);
    auto state = makeState();
    EXPECT_FALSE(state->hasContactsAccess());
    state->checkIfShouldRequestContacts();
    EXPECT_FALSE(state->showContactsRequest());
}

TEST_F(GatedAppStateTest, WithAGateAndNoDatabaseTheSplashEndsWithoutTheContactsQuestion) {
    auto state = makeState();
    EXPECT_FALSE(state->hasFullDiskAccess());
    state->dismissSplash();
    EXPECT_FALSE(state->showSplash());
    EXPECT_FALSE(state->showContactsRequest()) << "the Full Disk Access screen comes first";

    // Access granted later: the re-check sees it.
    { writeMacMessagesDatabase(); }
    QSignalSpy access(state.get(), &AppState::hasFullDiskAccessChanged);
    state->checkFullDiskAccess();
    EXPECT_TRUE(state->hasFullDiskAccess());
    EXPECT_EQ(access.count(), 1);
}

TEST_F(GatedAppStateTest, GrantedOnRestartGoesToTheContactsQuestion) {
    { writeMacMessagesDatabase(); }
    auto state = makeState();
    EXPECT_TRUE(state->hasFullDiskAccess());
    state->dismissSplash();
    EXPECT_TRUE(state->showContactsRequest());
}

TEST_F(AppStateTest, SignalsFireOncePerRealChange) {
    auto state = makeState();
    QSignalSpy theme(state.get(), &AppState::appThemeChanged);
    QSignalSpy labels(state.get(), &AppState::participantLabelsChanged);
    QSignalSpy url(state.get(), &AppState::databaseURLChanged);
    QSignalSpy backup(state.get(), &AppState::isIPhoneBackupChanged);
    QSignalSpy conversations(state.get(), &AppState::conversationsChanged);

    state->setAppTheme(AppTheme::professional);
    state->setAppTheme(AppTheme::professional);
    state->setParticipantLabel("+15551234567", "Mum");
    state->setParticipantLabel("+15551234567", "Mum");
    state->setParticipantLabel("+15551234567", "");
    state->setParticipantLabel("nobody", "");
    state->setDatabaseURL(std::filesystem::path("/data/chat.db"));
    state->setDatabaseURL(std::filesystem::path("/data/chat.db"));
    state->setIsIPhoneBackup(true);
    state->setConversations({});

    EXPECT_EQ(theme.count(), 1);
    EXPECT_EQ(labels.count(), 2);
    EXPECT_TRUE(state->participantLabels().empty());
    EXPECT_EQ(url.count(), 1);
    EXPECT_EQ(backup.count(), 1);
    EXPECT_EQ(conversations.count(), 1);
}

TEST_F(AppStateTest, OneAttachmentFolderScopeAtATime) {
    auto state = makeState();
    testing::internal::CaptureStdout();
    state->startAccessingAttachmentFolder("/pics/a");
    state->startAccessingAttachmentFolder("/pics/b");
    EXPECT_EQ(state->attachmentFolderURL(), std::filesystem::path("/pics/b"));
    EXPECT_TRUE(state->isAccessingAttachmentFolder());
    EXPECT_EQ(fake.securityScope->openCount("/pics/a"), 0);
    EXPECT_EQ(fake.securityScope->openCount("/pics/b"), 1);
    state->stopAccessingAttachmentFolder();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "✅ Started accessing attachment folder: /pics/a\n"
                                                      "🛑 Stopped accessing attachment folder\n"
                                                      "✅ Started accessing attachment folder: /pics/b\n"
                                                      "🛑 Stopped accessing attachment folder\n");
    EXPECT_TRUE(fake.securityScope->allClosed());
    EXPECT_FALSE(state->attachmentFolderURL().has_value());
}

TEST_F(AppStateTest, FailedStartLeavesNoScopeOpen) {
    auto state = makeState();
    fake.securityScope->refuse("/refused");
    state->startAccessingAttachmentFolder("/pics/a");
    testing::internal::CaptureStdout();
    state->startAccessingAttachmentFolder("/refused");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "🛑 Stopped accessing attachment folder\n"
                                                      "⚠️ Failed to start accessing attachment folder\n");
    EXPECT_FALSE(state->isAccessingAttachmentFolder());
    EXPECT_FALSE(state->attachmentFolderURL().has_value());
    EXPECT_TRUE(fake.securityScope->allClosed());
}

TEST_F(AppStateTest, StoppingWithNothingOpenDoesNothing) {
    auto state = makeState();
    testing::internal::CaptureStdout();
    state->stopAccessingAttachmentFolder();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(fake.securityScope->events().empty());
}

namespace {

quillobrandt::Conversation conversationOf(const std::string& id, int messages) {
    quillobrandt::Conversation conversation;
    conversation.id = id;
    conversation.participants = {"+1555000" + id};
    for (int i = 0; i < messages; ++i) {
        auto& message = conversation.messages.emplace_back();
        message.id = i + 1;
        message.text = "message " + std::to_string(i) + " of chat " + id;
    }
    conversation.messageCount = messages;
    return conversation;
}

} // namespace

TEST_F(AppStateTest, AnOpenConversationKeepsOnlyItselfOnceTheHistoryIsReplaced) {
    auto state = makeState();
    state->setConversations({conversationOf("1", 300), conversationOf("2", 500), conversationOf("3", 200)});
    const quillobrandt::Conversation expected = state->conversations()[1];
    const std::weak_ptr<const std::vector<quillobrandt::Conversation>> first = state->history();
    auto open = state->sharedConversation(&state->conversations()[1]);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open.get(), &state->conversations()[1]) << "read in place";
    EXPECT_EQ(state->sharedConversation(&state->conversations()[1]), open) << "opened twice, pinned once";
    const quillobrandt::Conversation outside;
    EXPECT_EQ(state->sharedConversation(&outside), nullptr);

    state->setConversations({conversationOf("4", 10)}); // a saved copy is loaded while the window stays open
    ASSERT_TRUE(state->waitForBackgroundLoads());
    EXPECT_EQ(*open, expected) << "the open conversation is whole";
    ASSERT_FALSE(first.expired());
    const auto old = first.lock();
    EXPECT_TRUE((*old)[0].messages.empty() && (*old)[2].messages.empty())
        << "the conversations nobody has open are freed";
    EXPECT_EQ(state->conversations().size(), 1u);
    EXPECT_EQ(state->conversations()[0].id, "4");

    // Reopening from the new history pins there; letting go of the old pin frees the old history.
    auto reopened = state->sharedConversation(&state->conversations()[0]);
    ASSERT_NE(reopened, nullptr);
    open.reset();
    EXPECT_FALSE(first.expired()) << "still held here";
    EXPECT_EQ(old->size(), 3u);
    EXPECT_EQ(reopened->id, "4");
    state->setConversations({});
    EXPECT_EQ(reopened->messages.size(), 10u);
}

TEST_F(AppStateTest, WithNothingOpenAReplacedHistoryGoesWhole) {
    auto state = makeState();
    state->setConversations({conversationOf("1", 30), conversationOf("2", 50)});
    const std::weak_ptr<const std::vector<quillobrandt::Conversation>> first = state->history();
    state->sharedConversation(&state->conversations()[0]).reset(); // opened and closed again
    state->setConversations({});
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(state->waitForBackgroundLoads());
}

TEST(AppTheme, RawValuesAreTheTitles) {
    using quillobrandt::appThemeFromRawValue;
    EXPECT_EQ(quillobrandt::rawValue(AppTheme::quillobrandt), "Quillobrandt (Gold/Pink)");
    EXPECT_EQ(quillobrandt::rawValue(AppTheme::professional), "Professional (Blue/Gray)");
    EXPECT_EQ(appThemeFromRawValue("Quillobrandt (Gold/Pink)"), AppTheme::quillobrandt);
    EXPECT_EQ(appThemeFromRawValue("Professional (Blue/Gray)"), AppTheme::professional);
    EXPECT_EQ(appThemeFromRawValue("quillobrandt"), std::nullopt);
    EXPECT_EQ(appThemeFromRawValue("professional (blue/gray)"), std::nullopt);
    EXPECT_EQ(quillobrandt::allAppThemes.front(), AppTheme::quillobrandt);
}

} // namespace
