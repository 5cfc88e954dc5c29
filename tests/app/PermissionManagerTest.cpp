#include "Quillobrandt/app/PermissionManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Quillobrandt/store/Logger.h"
#include "platform/core/Paths.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/MainQueue.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/qt/EventLoop.h"

namespace fs = std::filesystem;

namespace {

using quillobrandt::PermissionManager;

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

fs::path messagesDb() {
    const fs::path path = PermissionManager::messagesDatabasePath();
    fs::create_directories(path.parent_path());
    return path;
}

TEST(FullDiskAccessProbe, PathIsUnderHome) {
    EXPECT_EQ(PermissionManager::messagesDatabasePath(), platform::homeDir() / "Library" / "Messages" / "chat.db");
}

TEST(FullDiskAccessProbe, MissingDatabaseAnswersFalse) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(PermissionManager::probeFullDiskAccess());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("🔍 File exists: false"), std::string::npos);
    EXPECT_NE(output.find("⚠️ Messages database doesn't exist at path: " +
                          PermissionManager::messagesDatabasePath().string()),
              std::string::npos);
    EXPECT_FALSE(fs::exists(PermissionManager::messagesDatabasePath()));
}

TEST(FullDiskAccessProbe, ReadableMessagesDatabaseAnswersTrueAndKeepsNothingOpen) {
    {
        qbtest::MessagesDatabaseBuilder builder(messagesDb());
        builder.addOneToOneChat("+15551234567");
        builder.finish();
    }
    // The log's writer keeps its file open once it has written a line: open it before counting, and let it
    // finish the probe's lines before counting again, so only the probe's own descriptors are compared.
    quillobrandt::Logger::shared().log("Counting open files");
    quillobrandt::Logger::shared().flush();
    const auto before = openDescriptorCount();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(PermissionManager::probeFullDiskAccess());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("✅ FDA check: Messages database is fully accessible (SQLite queries work)"),
              std::string::npos);
    quillobrandt::Logger::shared().flush();
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(FullDiskAccessProbe, DatabaseWithoutChatTableAnswersFalseWithSqliteMessage) {
    {
        auto db = platform::SqliteDatabase::open(messagesDb(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec("CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT);");
    }
    testing::internal::CaptureStdout();
    EXPECT_FALSE(PermissionManager::probeFullDiskAccess());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("❌ FDA check: Query failed - no such table: chat (code: 1)"), std::string::npos) << output;
}

TEST(FullDiskAccessProbe, FileThatIsNotADatabaseAnswersFalse) {
    std::ofstream(messagesDb()) << "definitely not SQLite, just some text that is long enough to have a header";
    EXPECT_FALSE(PermissionManager::probeFullDiskAccess());
}

TEST(FullDiskAccessProbe, SymbolicLinkIsNotFollowed) {
    const fs::path real = platform::homeDir() / "real.db";
    {
        qbtest::MessagesDatabaseBuilder builder(real);
        builder.finish();
    }
    fs::create_symlink(real, messagesDb());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(PermissionManager::probeFullDiskAccess());
    EXPECT_NE(testing::internal::GetCapturedStdout().find("❌ FDA check: Cannot open database (code: "),
              std::string::npos);
}

TEST(FullDiskAccessProbe, UnreadableFileAnswersFalseUntilItBecomesReadable) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    {
        qbtest::MessagesDatabaseBuilder builder(messagesDb());
        builder.finish();
    }
    fs::permissions(messagesDb(), fs::perms::none);
    EXPECT_FALSE(PermissionManager::probeFullDiskAccess());
    fs::permissions(messagesDb(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(PermissionManager::probeFullDiskAccess());
}

TEST(FullDiskAccess, WithoutAGateAccessIsAssumed) {
    platform::FakePlatform fake(false);
    EXPECT_TRUE(PermissionManager::hasFullDiskAccess()) << "no database, yet nothing to wait for";
}

TEST(FullDiskAccess, WithAGateTheProbeDecides) {
    platform::FakePlatform fake(true);
    EXPECT_FALSE(PermissionManager::hasFullDiskAccess());
    {
        qbtest::MessagesDatabaseBuilder builder(messagesDb());
        builder.finish();
    }
    EXPECT_TRUE(PermissionManager::hasFullDiskAccess());
}

TEST(FullDiskAccess, SettingsPaneIsOpenedThroughTheDesktop) {
    platform::FakePlatform fake;
    fake.desktop->result = false; // the outcome is not looked at
    PermissionManager::openFullDiskAccessSettings();
    ASSERT_EQ(fake.desktop->openedUrls.size(), 1u);
    EXPECT_EQ(fake.desktop->openedUrls[0].toString(),
              "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles");
}

TEST(ContactsRequest, CompletionRunsOnceOnTheGuiThreadAlsoAfterAnError) {
    platform::FakePlatform fake;
    fake.contacts->answerNextRequest(true, std::string("history unavailable"));
    int calls = 0;
    bool granted = false;
    bool onMain = false;
    testing::internal::CaptureStdout();
    PermissionManager::requestContactsAccess([&](bool g) {
        ++calls;
        granted = g;
        onMain = platform::isMainThread();
    });
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return calls > 0; }));
    qbtest::drainEvents();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "📱 Requesting Contacts access...\n"
                                                      "❌ Contacts access error: history unavailable\n"
                                                      "✅ Contacts access GRANTED\n");
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(granted);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(PermissionManager::contactsAuthorizationStatus(), platform::ContactAuthorizationStatus::authorized);
}

TEST(ContactsRequest, CompletionForAClosedScreenIsDropped) {
    platform::FakePlatform fake;
    fake.contacts->answerNextRequest(true);
    bool called = false;
    {
        QObject screen;
        PermissionManager::requestContactsAccess([&](bool) { called = true; }, &screen);
    }
    qbtest::drainEvents();
    EXPECT_FALSE(called);
    EXPECT_EQ(fake.contacts->requestCount(), 1);
}

TEST(ContactsRequest, DeniedAnswer) {
    platform::FakePlatform fake;
    fake.contacts->answerNextRequest(false);
    std::optional<bool> granted;
    PermissionManager::requestContactsAccess([&](bool g) { granted = g; });
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return granted.has_value(); }));
    EXPECT_FALSE(*granted);
}

} // namespace
