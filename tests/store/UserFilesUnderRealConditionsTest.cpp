// The user's files under real conditions: a save that must not replace a database in use, a destination or
// temporary folder without room, a database someone crafted to hang the load or fill the disk.

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/EditedCopyWriter.h"
#include "Quillobrandt/store/PartialFileNotes.h"
#include "Quillobrandt/store/ReadDatabases.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/MountNamespace.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using quillobrandt::EditedCopyError;
using storetest::userFolder;

namespace {

// A user's database of `chats` chats of `perChat` messages; returns the first message's row id.
std::int64_t buildDatabase(const fs::path& file, int chats = 2, int perChat = 3,
                           qbtest::JournalMode mode = qbtest::JournalMode::rollback) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file, mode);
    std::int64_t first = 0;
    for (int c = 0; c < chats; ++c) {
        const auto chat = builder.addOneToOneChat("person" + std::to_string(c) + "@example.com");
        for (int i = 0; i < perChat; ++i) {
            const auto id = builder.addMessageToChat(
                chat.chatId,
                {.text = "message " + std::to_string(i) + std::string(200, '.'), .date = i, .handleId = chat.handleId});
            first = first == 0 ? id : first;
        }
    }
    builder.finish();
    return first;
}

std::int64_t count(const fs::path& file, const std::string& sql) {
    const auto db = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    return db.queryInt64(sql);
}

// Everything in `folder` but the names listed: a failed save leaves no temporary file behind.
std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

template <typename Work> std::string errorOf(Work work) {
    try {
        work();
    } catch (const DatabaseError& error) {
        return error.description();
    } catch (const EditedCopyError& error) {
        return error.description();
    }
    return "no error";
}

// The folder SQLite makes its temporary files in (its sorter's among them), as SQLite itself names it.
fs::path sqliteTemporaryFolder() {
    const auto probe =
        SqliteDatabase::open(qbtest::IsolatedHome::root() / "probe.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    char* name = nullptr;
    EXPECT_EQ(sqlite3_file_control(probe.handle(), "main", SQLITE_FCNTL_TEMPFILENAME, &name), SQLITE_OK);
    const fs::path folder = name != nullptr ? fs::path(name).parent_path() : fs::path();
    sqlite3_free(name);
    return folder;
}

} // namespace

TEST(SaveCopyTarget, AnExistingFileWithSideFilesIsNeverReplacedNorAreItsSideFilesTouched) {
    const auto source = userFolder() / "chat.db";
    const auto first = buildDatabase(source);
    // Another program's database with rows still only in its log.
    const auto live = userFolder() / "live.db";
    {
        qbtest::MessagesDatabaseBuilder builder(live, qbtest::JournalMode::wal);
        const auto chat = builder.addOneToOneChat("ann@example.com");
        builder.addMessageToChat(chat.chatId, {.text = "checkpointed", .date = 1});
        builder.checkpoint();
        builder.addMessageToChat(chat.chatId, {.text = "only in the log", .date = 2});
        builder.finishLeavingWal();
    }
    const auto journaled = userFolder() / "journaled.db";
    buildDatabase(journaled);
    std::ofstream(journaled.string() + "-journal") << "a journal";
    const auto before = storetest::folderListing(userFolder());

    for (const auto& target : {live, journaled}) {
        const auto error = errorOf([&] { DatabaseManager::saveEditedCopy(source, target, {first}); });
        EXPECT_NE(error.find("is a database in use"), std::string::npos) << error;
        EXPECT_NE(error.find("Please choose another name"), std::string::npos) << error;
    }
    EXPECT_EQ(storetest::folderListing(userFolder()), before);
    EXPECT_EQ(count(live, "SELECT COUNT(*) FROM message"), 2) << "the log's rows are still there";
}

TEST(SaveCopyTarget, TheDefaultMessagesDatabaseAndEveryDatabaseReadAreRefused) {
    const auto messages = platform::homeDir() / "Library" / "Messages" / "chat.db";
    buildDatabase(messages);
    const auto source = userFolder() / "copy-of-chat.db";
    const auto first = buildDatabase(source);
    const auto before = storetest::fileBytes(messages);
    fs::create_symlink(messages, userFolder() / "link.db");
    for (const auto& target : {messages, userFolder() / "link.db"}) {
        EXPECT_NE(errorOf([&] {
                      DatabaseManager::saveEditedCopy(source, target, {first});
                  }).find("must not replace the database it is made from or another Messages database"),
                  std::string::npos)
            << target;
    }
    EXPECT_EQ(storetest::fileBytes(messages), before);

    // The session's registry knows a database by its path and by the file it is, under any other name.
    quillobrandt::ReadDatabases read;
    const auto loaded = userFolder() / "loaded.db";
    buildDatabase(loaded);
    read.add(loaded);
    fs::create_hard_link(loaded, userFolder() / "hard.db");
    fs::create_symlink(loaded, userFolder() / "soft.db");
    EXPECT_TRUE(read.contains(loaded));
    EXPECT_TRUE(read.contains(userFolder() / "." / "loaded.db"));
    EXPECT_TRUE(read.contains(userFolder() / "hard.db"));
    EXPECT_TRUE(read.contains(userFolder() / "soft.db"));
    fs::rename(loaded, userFolder() / "moved.db");
    EXPECT_TRUE(read.contains(userFolder() / "moved.db")) << "the same file under a new name";
    EXPECT_FALSE(read.contains(source));
}

TEST(SaveCopyTarget, AFailedSaveLeavesTheOldTargetAsItWasAndASuccessfulOneReplacesItWhole) {
    const auto source = userFolder() / "chat.db";
    const auto first = buildDatabase(source);
    const auto target = userFolder() / "edited.db";
    buildDatabase(target, 1, 1);
    const auto oldTarget = storetest::fileBytes(target);
    const auto names = namesIn(userFolder());
    {
        auto db = SqliteDatabase::open(source, SQLITE_OPEN_READWRITE);
        db.exec("CREATE TRIGGER keep BEFORE DELETE ON message BEGIN SELECT RAISE(ABORT, 'protected'); END");
    }
    EXPECT_EQ(errorOf([&] { DatabaseManager::saveEditedCopy(source, target, {first}); }), "Failed to query database.");
    EXPECT_EQ(storetest::fileBytes(target), oldTarget);
    EXPECT_EQ(namesIn(userFolder()), names) << "no temporary file is left";

    SqliteDatabase::open(source, SQLITE_OPEN_READWRITE).exec("DROP TRIGGER keep");
    DatabaseManager::saveEditedCopy(source, target, {first});
    EXPECT_EQ(count(target, "SELECT COUNT(*) FROM message"), 5);
    EXPECT_EQ(namesIn(userFolder()), names);
}

TEST(SaveCopyTarget, ASourceMovedAwaySaysSoInTheUsersWords) {
    const auto source = userFolder() / "chat.db";
    const auto first = buildDatabase(source);
    fs::rename(source, userFolder() / "elsewhere.db");
    EXPECT_EQ(errorOf([&] { DatabaseManager::saveEditedCopy(source, userFolder() / "edited.db", {first}); }),
              "The database the conversation came from is no longer there.");
    EXPECT_FALSE(fs::exists(userFolder() / "edited.db"));
}

// A delete trigger that inserts rows without end: the copy stops at its source's size and nothing stays.
TEST(HostileDatabase, ATriggerThatFillsTheDiskFailsTheSaveCleanly) {
    const auto source = userFolder() / "chat.db";
    const auto first = buildDatabase(source, 2, 50);
    {
        auto db = SqliteDatabase::open(source, SQLITE_OPEN_READWRITE);
        db.exec("CREATE TABLE filler (blob BLOB);"
                "CREATE TRIGGER grow AFTER DELETE ON message BEGIN "
                "INSERT INTO filler SELECT a.text || b.text || c.text FROM message a, message b, message c; END");
    }
    const auto names = namesIn(userFolder());
    const auto started = std::chrono::steady_clock::now();
    const auto error = errorOf([&] { DatabaseManager::saveEditedCopy(source, userFolder() / "edited.db", {first}); });
    EXPECT_NE(error.find("would grow larger than the database it is made from"), std::string::npos) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(namesIn(userFolder()), names);
}

// A save from a database whose delete trigger only computes (an endless recursive query), writing nothing that a
// size limit would catch; `names` are those of the user's folder before it.
struct SpinningSave {
    fs::path source = userFolder() / "chat.db";
    std::int64_t first = buildDatabase(source);
    std::vector<std::string> names;
    fs::path target = userFolder() / "edited.db";

    SpinningSave() {
        SqliteDatabase::open(source, SQLITE_OPEN_READWRITE)
            .exec("CREATE TRIGGER spin AFTER DELETE ON message BEGIN SELECT count(*) FROM (WITH RECURSIVE n(i) AS "
                  "(SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n); END");
        names = namesIn(userFolder());
    }
};

bool holdsPartialCopy(const fs::path& folder) {
    const auto names = namesIn(folder);
    return std::any_of(names.begin(), names.end(),
                       [](const std::string& name) { return name.find(".partial") != std::string::npos; });
}

// The copy's work has a budget that no real delete comes near: such a trigger fails the save by itself, and the
// user's stop ends it sooner. Either way nothing stays beside the target.
TEST(HostileDatabase, ATriggerThatComputesWithoutEndFailsTheSaveByItsBudgetOrEndsAtTheStop) {
    const SpinningSave save;
    const auto& [source, first, names, target] = save;
    // A stop far later than the budget needs: only a save without a budget ever comes to it.
    const auto started = std::chrono::steady_clock::now();
    const auto muchLater = [started] { return std::chrono::steady_clock::now() - started > std::chrono::seconds(120); };
    const auto error = errorOf([&] { quillobrandt::writeEditedCopy(source, target, {first}, nullptr, muchLater); });
    EXPECT_EQ(error, "The edited copy was not saved: deleting a message sets off a trigger in this database that "
                     "computes without end.")
        << "after " << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s";
    EXPECT_EQ(namesIn(userFolder()), names);

    // Stopped as soon as the copy is being edited.
    try {
        quillobrandt::writeEditedCopy(source, target, {first}, nullptr, [] { return holdsPartialCopy(userFolder()); });
        ADD_FAILURE() << "saved despite the stop";
    } catch (const DatabaseError& stopped) {
        EXPECT_EQ(stopped, DatabaseError::stopped());
    }
    EXPECT_EQ(namesIn(userFolder()), names);
}

// A run killed while it writes a copy leaves its partial file beside the target; the next start removes it, and
// nothing it did not make itself.
TEST(HostileDatabase, ACopyCutShortByAKillIsRemovedAtTheNextStart) {
    const SpinningSave save;
    const auto& [source, first, names, target] = save;
    const auto killMidSave = [&](const fs::path& to) {
        storetest::ChildProcess child([&](const std::function<void()>& ready, int) {
            bool told = false;
            // Held in the middle of the trigger until the kill.
            quillobrandt::writeEditedCopy(source, to, {first}, nullptr, [&] {
                if (!told && holdsPartialCopy(to.parent_path())) {
                    told = true;
                    ready();
                }
                while (told) {
                    ::pause();
                }
                return false;
            });
            return 0;
        });
    }; // killed as it returns
    killMidSave(target);
    ASSERT_TRUE(holdsPartialCopy(userFolder())) << "the killed run left its partial copy";
    // Another one on a drive that is not attached at the next start: its copy waits for a start that finds it.
    const fs::path drive = userFolder().parent_path() / "drive";
    fs::create_directories(drive);
    killMidSave(drive / "edited.db");
    ASSERT_TRUE(holdsPartialCopy(drive));
    fs::rename(drive, userFolder().parent_path() / "drive-detached");
    // A file of the same shape that the program did not make stays.
    const auto lookalike = ".edited.db.0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0.partial";
    std::ofstream(userFolder() / lookalike) << "someone else's";
    {
        const auto lock = quillobrandt::WorkingFilesLock::acquireAndSweep();
        ASSERT_TRUE(lock.isHeld());
    }
    auto expected = names;
    expected.push_back(lookalike);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(userFolder()), expected);

    fs::rename(userFolder().parent_path() / "drive-detached", drive);
    ASSERT_TRUE(holdsPartialCopy(drive));
    const auto lock = quillobrandt::WorkingFilesLock::acquireAndSweep();
    EXPECT_TRUE(namesIn(drive).empty());
    EXPECT_TRUE(fs::is_empty(quillobrandt::partialFileNotesFolder()));
}

// One call of some functions (a search of one text in another, a value of any size asked for by a number) runs for
// minutes or hours, beyond the reach of the budget and of the stop, which SQLite asks between steps. A database whose
// own code calls one, wherever it runs when a message is deleted or the copy is checked, is refused before any work;
// and so is a view of it that the load reads.
TEST(HostileDatabase, CodeThatCallsAFunctionWhoseOneCallRunsForHoursIsRefused) {
    const auto source = userFolder() / "chat.db";
    const auto first = buildDatabase(source);
    const auto names = namesIn(userFolder());
    const std::string costly = "instr('a long text', 'text')";
    const auto saveWith = [&](const std::string& sql) {
        const auto crafted = userFolder().parent_path() / "crafted" / "chat.db";
        fs::create_directories(crafted.parent_path());
        fs::copy_file(source, crafted, fs::copy_options::overwrite_existing);
        SqliteDatabase::open(crafted, SQLITE_OPEN_READWRITE).exec(sql);
        // Handed over long ago: the snapshot trusts a file nobody touched for a while without checking it.
        fs::last_write_time(crafted, fs::last_write_time(crafted) - std::chrono::hours(1));
        return errorOf([&] { quillobrandt::writeEditedCopy(crafted, userFolder() / "edited.db", {first}); });
    };
    const auto refusal = [](const std::string& function) {
        return "The edited copy was not saved: this database holds code that calls " + function +
               "(), which can run for hours and cannot be stopped.";
    };
    EXPECT_EQ(saveWith("CREATE TRIGGER t BEFORE DELETE ON message BEGIN SELECT " + costly + "; END"), refusal("instr"));
    EXPECT_EQ(saveWith("CREATE TRIGGER t AFTER DELETE ON chat_message_join BEGIN SELECT " + costly + "; END"),
              refusal("instr"))
        << "a trigger set off by the cascade";
    EXPECT_EQ(saveWith("CREATE INDEX costly ON message(replace(text, 'a', text))"), refusal("replace"));
    EXPECT_EQ(saveWith("CREATE TABLE notes (note TEXT CHECK (note NOT LIKE '%a%b%c%')); "
                       "INSERT INTO notes VALUES ('x')"),
              refusal("like"))
        << "a CHECK constraint that only the copy's check runs";
    EXPECT_EQ(namesIn(userFolder()), names);

    SqliteDatabase::open(source, SQLITE_OPEN_READWRITE)
        .exec("PRAGMA legacy_alter_table=ON; ALTER TABLE handle RENAME TO handle_rows; CREATE VIEW handle AS SELECT "
              "ROWID, id || substr(instr(id, 'x'), 1, 0) AS id FROM handle_rows");
    const auto loadError = errorOf([&] { storetest::load(source); });
    EXPECT_NE(loadError.find("calls instr(), which can run for hours"), std::string::npos) << loadError;
}

// The handle table replaced by a view over an endless recursion: only the statement's own stop can end the load.
TEST(HostileDatabase, AnEndlessQueryEndsWithinASecondOfTheStop) {
    const auto source = userFolder() / "chat.db";
    buildDatabase(source);
    {
        auto db = SqliteDatabase::open(source, SQLITE_OPEN_READWRITE);
        db.exec("PRAGMA legacy_alter_table=ON; ALTER TABLE handle RENAME TO handle_rows;"
                "CREATE VIEW handle AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                "SELECT i AS ROWID, 'x' AS id FROM n");
    }
    DatabaseManager manager;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        manager.requestStop();
    });
    const auto started = std::chrono::steady_clock::now();
    std::optional<DatabaseError> error;
    try {
        manager.openDatabase(source);
    } catch (const DatabaseError& caught) {
        error = caught;
    }
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, DatabaseError::stopped());
    EXPECT_LT(took, std::chrono::milliseconds(1500));
}

// Functions of the schema's own making (views, triggers) may not call what SQLite does not know to be harmless,
// and the file's structure cannot be changed from inside a statement.
TEST(HostileDatabase, UserDatabasesAreOpenedWithTheSchemaDistrusted) {
    const auto source = userFolder() / "chat.db";
    buildDatabase(source);
    {
        auto db = SqliteDatabase::open(source, SQLITE_OPEN_READWRITE);
        db.exec("ALTER TABLE chat RENAME TO chat_rows;"
                "CREATE VIEW chat AS SELECT ROWID, chat_identifier, style, display_name, "
                "json('{}') AS probe FROM chat_rows");
    }
    EXPECT_THROW(storetest::load(source), DatabaseError);
    const auto db = SqliteDatabase::open(source, SQLITE_OPEN_READWRITE);
    db.distrustSchema();
    EXPECT_NE(db.tryExec("PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = 'x' WHERE name = 'chat'"),
              SQLITE_OK);
}

TEST(SpaceAndDestination, ASmallTemporaryFolderFallsBackToTheCachesAndThenNamesTheFolderAndTheSize) {
    const auto source = userFolder() / "chat.db";
    buildDatabase(source, 20, 200, qbtest::JournalMode::wal); // a few MB, and copied to be read
    const auto inPlace = userFolder() / "rollback.db";
    buildDatabase(inPlace, 20, 200);
    // One conversation too large to sort in memory: SQLite's sorter needs room in its temporary folder.
    const auto largeChat = userFolder() / "large-chat.db";
    qbtest::buildBulkMessagesDatabase(largeChat, {.chats = 1, .messagesPerChat = 40000});
    const auto sqliteTemp = sqliteTemporaryFolder();
    const auto answer = qbtest::inOwnMountNamespace([&] {
        const auto smallTemp = qbtest::IsolatedHome::root() / "small-tmp";
        qbtest::mountTmpfs(smallTemp, "size=1m");
        ::setenv("TMPDIR", smallTemp.c_str(), 1);
        std::string result = std::to_string(DatabaseManager().openDatabase(source).size()) + " chats; ";
        qbtest::mountTmpfs(platform::cachesDir(), "size=1m");
        result += errorOf([&] { DatabaseManager().openDatabase(source); });
        // Read where it lies, a database needs no room at all.
        result += "; in place: " + std::to_string(DatabaseManager().openDatabase(inPlace).size()) + " chats";
        // Unless a conversation is too large to sort in memory, and SQLite's temporary folder is full.
        qbtest::mountTmpfs(sqliteTemp, "size=64k");
        return result + "; sorting: " + errorOf([&] { DatabaseManager().openDatabase(largeChat); });
    });
    if (!answer) {
        GTEST_SKIP() << "no mount namespace on this machine";
    }
    EXPECT_EQ(answer->rfind("20 chats; There is not enough free space in \"", 0), 0u) << *answer;
    EXPECT_NE(answer->find("small-tmp"), std::string::npos) << *answer;
    EXPECT_NE(answer->find("MB are free"), std::string::npos) << *answer;
    EXPECT_NE(answer->find("; in place: 20 chats; "), std::string::npos) << *answer;
    EXPECT_NE(answer->find("; sorting: There is not enough free space in \"" + sqliteTemp.string() +
                           "\" (the temporary folder) to sort the messages of a large conversation: it needs "),
              std::string::npos)
        << *answer;
    EXPECT_NE(answer->find(" MB are free. Free some space there, or start the program with TMPDIR set to a folder with "
                           "more room."),
              std::string::npos)
        << *answer;
}

TEST(SpaceAndDestination, AFullOrReadOnlyDestinationIsNamedAndTheOldTargetStays) {
    const auto source = userFolder() / "chat.db";
    const auto first = buildDatabase(source, 20, 200);
    const auto answer = qbtest::inOwnMountNamespace([&] {
        const auto full = qbtest::IsolatedHome::root() / "full";
        qbtest::mountTmpfs(full, "size=1m");
        const auto target = full / "edited.db";
        std::ofstream(target) << "an older file";
        std::string result = errorOf([&] { DatabaseManager::saveEditedCopy(source, target, {first}); });
        result += " | " + storetest::fileBytes(target) + " | " + std::to_string(namesIn(full).size());
        const auto readOnly = qbtest::IsolatedHome::root() / "read-only";
        qbtest::mountTmpfs(readOnly, "size=1m,mode=0755");
        if (::mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            return result + " | no remount";
        }
        return result + " | " + errorOf([&] { DatabaseManager::saveEditedCopy(source, readOnly / "x.db", {first}); });
    });
    if (!answer) {
        GTEST_SKIP() << "no mount namespace on this machine";
    }
    const auto full = (qbtest::IsolatedHome::root() / "full").string();
    const auto readOnly = (qbtest::IsolatedHome::root() / "read-only").string();
    EXPECT_EQ(*answer, "The copy cannot be written to \"" + full +
                           "\": No space left on device. | an older file | 1 | " + "The copy cannot be written to \"" +
                           readOnly + "\": Read-only file system.");
}
