#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Quillobrandt/main/MessagesFolderImport.h"
#include "platform/core/AtomicFile.h"
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

} // namespace
