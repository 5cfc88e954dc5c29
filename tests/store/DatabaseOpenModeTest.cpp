#include "Quillobrandt/store/DatabaseLocation.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::isWorkingCopyLocation;
using quillobrandt::resolveDatabaseFolder;

namespace {

bool workingCopy(const fs::path& file) {
    return isWorkingCopyLocation(resolveDatabaseFolder(file));
}

// Bytes 18 and 19 of a database header: 2 for a write-ahead log, 1 for a rollback journal.
int fileFormatVersion(const fs::path& file) {
    return storetest::fileBytes(file).at(18);
}

void buildWalDatabase(const fs::path& file) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::wal);
    const auto chat = builder.addOneToOneChat("+15550000008");
    builder.addMessageToChat(chat.chatId, {.text = "hi", .date = 1});
    builder.finish();
}

} // namespace

TEST(DatabaseOpenMode, OnlyTheProgramsOwnWorkingCopiesAreWritable) {
    const auto home = platform::homeDir();
    const auto temp = platform::tempDir();
    const auto caches = platform::cachesDir();
    fs::create_directories(caches);

    EXPECT_TRUE(workingCopy(platform::privateTempDir() / "Messages" / "chat.db"));
    EXPECT_TRUE(workingCopy(temp / ("quillobrandt-" + std::to_string(::getuid())) / "Messages" / "chat.db"));
    EXPECT_TRUE(workingCopy(caches / ("Quillobrandt_" + platform::makeUuidString()) / "sms.db"));
    EXPECT_TRUE(workingCopy(caches / ("Quillobrandt_" + platform::makeUuidString()) / "Library" / "SMS" / "sms.db"));

    // The shared temporary folder holds the user's downloads and unpacked archives.
    EXPECT_FALSE(workingCopy(temp / "chat.db"));
    EXPECT_FALSE(workingCopy(temp / "Downloads" / "chat.db"));
    EXPECT_FALSE(workingCopy(platform::privateTempDir()));
    // A folder merely named like a temporary one is the user's own.
    EXPECT_FALSE(workingCopy(home / "tmp" / "chat.db"));
    EXPECT_FALSE(workingCopy(home / "var" / "folders" / "T" / "Quillobrandt_x" / "chat.db"));
    EXPECT_FALSE(workingCopy(home / "Library" / "Messages" / "chat.db"));
    EXPECT_FALSE(workingCopy(temp / ".." / "chat.db"));
    EXPECT_FALSE(workingCopy(caches / "chat.db"));
    EXPECT_FALSE(workingCopy(caches / "Quillobrandt_not-a-uuid" / "sms.db"));
    EXPECT_FALSE(workingCopy(caches / ("Quillobrandt_" + platform::makeUuidString())));
    EXPECT_FALSE(workingCopy(caches / "Corvantesk" / ("Quillobrandt_" + platform::makeUuidString()) / "sms.db"));
}

TEST(DatabaseOpenMode, ResolvesSymlinkedFoldersBeforeDeciding) {
    const auto temp = platform::privateTempDir();
    fs::create_directories(temp / "work");
    const auto intoTemp = platform::homeDir() / "shortcut";
    fs::create_directory_symlink(temp / "work", intoTemp);
    EXPECT_EQ(resolveDatabaseFolder(intoTemp / "chat.db"), fs::canonical(temp / "work") / "chat.db");
    EXPECT_TRUE(workingCopy(intoTemp / "chat.db"));

    const auto outOfTemp = temp / "escape";
    fs::create_directory_symlink(platform::homeDir(), outOfTemp);
    EXPECT_FALSE(workingCopy(outOfTemp / "chat.db"));
}

TEST(DatabaseOpenMode, TheUsersWalDatabaseIsLeftAsItIsAndAWorkingCopyLosesItsLog) {
    // "~/tmp" is the user's, not a temporary folder; a download in the shared one is the user's as well.
    for (const auto& users : {platform::homeDir() / "tmp" / "chat.db", platform::tempDir() / "Downloads" / "chat.db"}) {
        buildWalDatabase(users);
        const auto before = storetest::fileBytes(users);
        EXPECT_EQ(storetest::load(users).size(), 1u); // which also requires the folder unchanged
        EXPECT_EQ(storetest::fileBytes(users), before);
        EXPECT_EQ(fileFormatVersion(users), 2);
    }

    const auto copy = platform::privateTempDir() / "copy" / "chat.db";
    buildWalDatabase(copy);
    EXPECT_EQ(storetest::load(copy).size(), 1u);
    EXPECT_EQ(fileFormatVersion(copy), 1);
}
