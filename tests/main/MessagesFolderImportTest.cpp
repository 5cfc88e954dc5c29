#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Quillobrandt/main/MessagesFolderImport.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/AtomicFile.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
namespace folder = quillobrandt::messages_folder;

namespace {

void write(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(MessagesFolderImport, CopiesDatabaseWithItsLogsAndDropsStaleCopies) {
    const fs::path root = qbtest::IsolatedHome::root();
    const fs::path source = root / "Messages";
    const fs::path work = root / "work";
    write(source / "chat.db", "db");
    write(source / "chat.db-wal", "wal");
    write(work / "temp_chat.db-shm", "stale shm of an earlier pick");

    const fs::path copy = folder::copyDatabase(source, work);
    EXPECT_EQ(copy, work / "temp_chat.db");
    EXPECT_EQ(read(copy), "db");
    EXPECT_EQ(read(work / "temp_chat.db-wal"), "wal");
    EXPECT_FALSE(fs::exists(work / "temp_chat.db-shm"));
    EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read(source / "chat.db"), "db");
}

TEST(MessagesFolderImport, MissingDatabaseIsReportedAndLeavesNoPartialCopy) {
    const fs::path root = qbtest::IsolatedHome::root();
    EXPECT_FALSE(folder::containsDatabase(root / "empty"));
    fs::create_directories(root / "odd" / "chat.db"); // a folder by that name is not a database
    EXPECT_FALSE(folder::containsDatabase(root / "odd"));
    write(root / "work" / "temp_chat.db", "stale");
    EXPECT_THROW(folder::copyDatabase(root / "empty", root / "work"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(root / "work" / "temp_chat.db"));
}

TEST(MessagesFolderImport, ImportingAFolderWhoseDatabaseIsReadInPlaceLeavesTheReadsLockInPlace) {
    // Closing any descriptor of a file drops every lock this process holds on it: the import's copy of a chat.db that
    // a load on another thread reads where it lies must wait for that read, or a writer could change the file under
    // it.
    const fs::path source = storetest::userFolder() / "Messages";
    const fs::path file = source / "chat.db";
    fs::create_directories(source);
    {
        qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::rollback);
        for (int c = 0; c < 3; ++c) {
            const auto chat = builder.addOneToOneChat("person" + std::to_string(c) + "@example.com");
            builder.addMessageToChat(chat.chatId, {.text = "as written", .date = 1, .handleId = chat.handleId});
        }
        builder.finish();
    }
    const std::string original = storetest::fileBytes(file);

    storetest::PausedLoad load(file);
    const fs::path work = qbtest::IsolatedHome::root() / "work";
    std::atomic<bool> imported = false;
    std::thread importer([&] {
        folder::copyDatabase(source, work);
        imported = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(imported) << "the import did not wait for the read";
    // A stopped load gives up waiting.
    EXPECT_THROW(folder::copyDatabase(source, qbtest::IsolatedHome::root() / "stopped", [] { return true; }),
                 quillobrandt::DatabaseError);

    // A writer in another process, in rollback-journal mode, that will not wait: the read's shared lock keeps it out.
    const std::string writer = "sqlite3 '" + file.string() +
                               "' 'PRAGMA busy_timeout=0; UPDATE message SET text = upper(text);' >/dev/null 2>&1";
    EXPECT_NE(std::system(writer.c_str()), 0) << "a writer changed the database under the read";

    load.finish();
    importer.join();
    EXPECT_FALSE(load.error()) << load.error()->description();
    EXPECT_EQ(load.conversations().size(), 3u);
    for (const auto& conversation : load.conversations()) {
        EXPECT_EQ(conversation.messages.front().text, "as written") << conversation.id;
    }
    EXPECT_TRUE(imported);
    EXPECT_TRUE(read(work / "temp_chat.db") == original) << "the copy is not of the database as it was";
    EXPECT_TRUE(storetest::fileBytes(file) == original) << "the database changed";
}

} // namespace
