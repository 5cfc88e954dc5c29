// A user's database in rollback-journal mode, with nothing beside it, is read where it lies: read-only, in one read
// transaction, with nothing written anywhere near it. Everything else (a log, a journal, a writer in the middle of
// a change) goes through the private snapshot.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "Quillobrandt/store/SqliteFileLayers.h"
#include "platform/core/Paths.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using storetest::userFolder;

namespace {

// `chats` one-to-one chats of three messages each.
void buildChats(const fs::path& file, qbtest::JournalMode mode = qbtest::JournalMode::rollback, int chats = 2) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file, mode);
    for (int c = 0; c < chats; ++c) {
        const auto chat = builder.addOneToOneChat("person" + std::to_string(c) + "@example.com");
        for (int i = 0; i < 3; ++i) {
            builder.addMessageToChat(
                chat.chatId, {.text = "message " + std::to_string(i), .date = i + 1, .handleId = chat.handleId});
        }
    }
    builder.finish();
}

std::size_t messageCount(const std::vector<quillobrandt::Conversation>& conversations) {
    std::size_t count = 0;
    for (const auto& conversation : conversations) {
        count += conversation.messages.size();
    }
    return count;
}

// Which file the database is and when it last changed: a read must leave all of it alone.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec,
            st.st_ctim.tv_sec * 1'000'000'000 + st.st_ctim.tv_nsec};
}

// True while some snapshot folder exists, in the private temporary folder or in the caches folder.
bool anySnapshotFolder() {
    for (const auto& [folder, prefix] :
         {std::pair{platform::privateTempDir(), std::string(quillobrandt::DatabaseSnapshot::folderPrefix)},
          std::pair{platform::cachesDir(), std::string(quillobrandt::DatabaseSnapshot::cachesFolderPrefix)}}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) {
                return true;
            }
        }
    }
    return false;
}

// How a load went: what it read, whether it made a copy on the way, what the folder looked like meanwhile.
struct Observed {
    std::vector<quillobrandt::Conversation> conversations;
    bool copied = false;        // "Copying database..." was reported
    bool snapshotKept = false;  // snapshot() after the load
    bool copySeen = false;      // a snapshot folder existed while the chats were read
    bool folderChanged = false; // the database's folder differed from before while the chats were read
};

Observed observeLoad(const fs::path& file) {
    const auto before = storetest::folderListing(file.parent_path());
    Observed observed;
    DatabaseManager manager;
    const auto progress = [&](const std::string& message, double, const std::optional<std::string>&,
                              std::optional<double>) {
        if (message == "Copying database...") {
            observed.copied = true;
        } else if (message.rfind("Loading conversations", 0) == 0) {
            observed.copySeen = observed.copySeen || anySnapshotFolder();
            observed.folderChanged = observed.folderChanged || storetest::folderListing(file.parent_path()) != before;
        }
    };
    observed.conversations = manager.openDatabase(file, std::nullopt, progress);
    observed.snapshotKept = manager.snapshot() != nullptr;
    return observed;
}

// A second process in the middle of a change: it runs `setup`, then `work` inside a transaction it keeps open
// until commit() (or its end, which abandons the change).
class HeldTransaction {
public:
    HeldTransaction(const fs::path& file, const std::string& setup, const std::string& work)
        : child_([&](const std::function<void()>& ready, int fromParent) {
              sqlite3* db = nullptr;
              if (sqlite3_open(file.c_str(), &db) != SQLITE_OK ||
                  sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
                  sqlite3_exec(db, work.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                  return 2;
              }
              ready();
              char byte = 0;
              if (::read(fromParent, &byte, 1) != 1) {
                  return 3;
              }
              sqlite3_busy_timeout(db, 2000);
              return sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : 1;
          }) {}

    // True when the writer could commit its change (no reader is left holding the file).
    bool commit() { return child_.tell() && child_.wait() == 0; }

private:
    storetest::ChildProcess child_;
};

// Enough rows that a writer with a one-page cache has to write some of them into the file before it commits.
constexpr const char* kLargeChange =
    "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<3000) "
    "INSERT INTO message (guid, text, date) SELECT 'torn-' || i, hex(randomblob(200)), 9 FROM n;"
    "INSERT INTO chat_message_join (chat_id, message_id, message_date) SELECT 1, ROWID, 9 FROM message "
    "WHERE guid LIKE 'torn-%';";

} // namespace

TEST(ReadInPlace, ARollbackDatabaseIsReadWhereItLiesWithNothingWrittenBesideIt) {
    const auto file = userFolder() / "chat.db";
    buildChats(file);
    const auto identity = identityOf(file);
    const auto before = storetest::folderListing(file.parent_path());

    const auto observed = observeLoad(file);
    EXPECT_EQ(observed.conversations.size(), 2u);
    EXPECT_EQ(messageCount(observed.conversations), 6u);
    EXPECT_FALSE(observed.copied) << "the database was copied";
    EXPECT_FALSE(observed.copySeen) << "a snapshot existed while the chats were read";
    EXPECT_FALSE(observed.snapshotKept);
    EXPECT_FALSE(observed.folderChanged) << "something appeared beside the database while it was read";
    EXPECT_EQ(storetest::folderListing(file.parent_path()), before);
    EXPECT_EQ(identityOf(file), identity);

    // Reached through a link, the file it names is read where it lies, and neither folder changes.
    const auto elsewhere = qbtest::IsolatedHome::root() / "links";
    fs::create_directories(elsewhere);
    fs::create_symlink(file, elsewhere / "chat.db");
    const auto linksBefore = storetest::folderListing(elsewhere);
    const auto linked = observeLoad(elsewhere / "chat.db");
    EXPECT_EQ(linked.conversations.size(), 2u);
    EXPECT_FALSE(linked.copied);
    EXPECT_FALSE(linked.folderChanged);
    EXPECT_EQ(storetest::folderListing(elsewhere), linksBefore);
    EXPECT_EQ(storetest::folderListing(file.parent_path()), before);
    EXPECT_EQ(identityOf(file), identity);
}

TEST(ReadInPlace, AWalDatabaseOrALogBesideItIsCopiedAndAnEndedWritersEmptiedJournalIsNot) {
    const auto wal = userFolder() / "wal" / "chat.db";
    buildChats(wal, qbtest::JournalMode::wal);
    ASSERT_FALSE(fs::exists(wal.string() + "-wal"));
    auto observed = observeLoad(wal);
    EXPECT_EQ(observed.conversations.size(), 2u);
    EXPECT_TRUE(observed.copied);
    EXPECT_TRUE(observed.snapshotKept);
    EXPECT_FALSE(observed.folderChanged) << "SQLite made a log or an index beside a database in WAL mode";
    EXPECT_FALSE(fs::exists(wal.string() + "-wal"));
    EXPECT_FALSE(fs::exists(wal.string() + "-shm"));

    // The log of some older state.
    const auto withLog = userFolder() / "beside-wal" / "chat.db";
    buildChats(withLog);
    std::ofstream(withLog.string() + "-wal");
    observed = observeLoad(withLog);
    EXPECT_EQ(observed.conversations.size(), 2u);
    EXPECT_TRUE(observed.copied);
    EXPECT_TRUE(observed.snapshotKept);

    // A writer in journal_mode=TRUNCATE leaves an empty journal after every commit, one in PERSIST (or in the exclusive
    // locking mode) a journal whose header is zeroed. Neither is hot: the file is as committed, and is read where it
    // lies, as SQLite itself would read it. (A copy instead would be refused each time such a writer commits.)
    for (const char* mode : {"TRUNCATE", "PERSIST"}) {
        const auto file = userFolder() / mode / "chat.db";
        buildChats(file);
        const std::string change = "sqlite3 '" + file.string() + "' 'PRAGMA journal_mode=" + mode +
                                   "; UPDATE message SET text = upper(text);' >/dev/null";
        ASSERT_EQ(std::system(change.c_str()), 0) << mode;
        ASSERT_TRUE(fs::exists(file.string() + "-journal")) << mode;
        const auto before = storetest::folderListing(file.parent_path());
        observed = observeLoad(file);
        EXPECT_EQ(messageCount(observed.conversations), 6u) << mode;
        EXPECT_EQ(observed.conversations.front().messages.front().text->rfind("MESSAGE ", 0), 0u) << mode;
        EXPECT_FALSE(observed.copied) << mode << ": the database was copied";
        EXPECT_FALSE(observed.folderChanged) << mode;
        EXPECT_EQ(storetest::folderListing(file.parent_path()), before) << mode;
    }
}

TEST(ReadInPlace, TheInPlaceFileLayerOpensNothingButTheDatabase) {
    // A database in WAL mode opened read-only through SQLite's own layer gets a "-wal" and a "-shm" made beside it;
    // through the in-place layer it cannot be read at all, so a database that turns to WAL mode between the check
    // and the read fails the read instead.
    const auto file = userFolder() / "turned" / "chat.db";
    buildChats(file, qbtest::JournalMode::wal);
    const auto before = storetest::folderListing(file.parent_path());
    const auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW,
                                                   quillobrandt::inPlaceFileLayer());
    EXPECT_THROW(db.queryInt64("SELECT COUNT(*) FROM message"), platform::SqliteError);
    EXPECT_EQ(storetest::folderListing(file.parent_path()), before);
}

TEST(ReadInPlace, AWriterInTheMiddleOfAChangeGivesTheCommittedRowsOrAClearError) {
    const auto check = [](const fs::path& file, const char* setup, const char* work, bool inPlace) {
        buildChats(file);
        HeldTransaction writer(file, setup, work);
        SCOPED_TRACE(std::string("journal beside the file: ") +
                     (fs::exists(file.string() + "-journal") ? "yes" : "no"));
        try {
            const auto observed = observeLoad(file);
            EXPECT_EQ(messageCount(observed.conversations), 6u) << "a torn read: " << setup << work;
            EXPECT_EQ(observed.snapshotKept, !inPlace) << setup << work;
        } catch (const DatabaseError& error) {
            EXPECT_EQ(error, DatabaseError::beingChanged()) << setup << work;
        }
        // Nothing is left holding the file: the writer can finish.
        EXPECT_TRUE(writer.commit()) << setup << work;
    };
    // Changes in the cache only, the file as committed: read in place, and the writer commits once the read ends.
    check(userFolder() / "memory" / "chat.db", "PRAGMA journal_mode=MEMORY;", "BEGIN IMMEDIATE; DELETE FROM message;",
          true);
    // A journal beside the file, the writer's change still in its cache: the writer holds the file's reserved lock,
    // so the journal is no hot one and the file is as committed. Read in place; the writer commits once the read ends.
    check(userFolder() / "live-journal" / "chat.db", "PRAGMA journal_mode=DELETE;",
          "BEGIN IMMEDIATE; DELETE FROM message;", true);
    // A journal beside the file and part of the change in the file: copied with it, so the copy is rolled back to
    // the committed state.
    check(userFolder() / "journal" / "chat.db", "PRAGMA cache_size=1;", kLargeChange, false);
    // Changes already in the file and no journal beside it to undo them: the file is locked, never read torn.
    check(userFolder() / "locked" / "chat.db", "PRAGMA journal_mode=MEMORY; PRAGMA cache_size=1;", kLargeChange, false);
}

TEST(ReadInPlace, AWriterWaitsOnlyWhileTheRowsAreRead) {
    // A reader's shared lock keeps every writer's COMMIT waiting. The load lets go of the file as soon as the last row
    // is read, before it merges the chats (and before its caller matches contacts), so a writer waits no longer than
    // for the sqlite3 shell reading the same rows.
    const auto file = userFolder() / "chat.db";
    buildChats(file, qbtest::JournalMode::rollback, 3);
    // A writer in another process that will not wait.
    const std::string writer = "sqlite3 '" + file.string() +
                               "' 'PRAGMA busy_timeout=0; UPDATE message SET text = upper(text);' >/dev/null 2>&1";
    std::optional<int> whileReading;
    std::optional<int> whileMerging;
    DatabaseManager manager;
    const auto conversations = manager.openDatabase(
        file, std::nullopt,
        [&](const std::string& message, double, const std::optional<std::string>&, std::optional<double>) {
            if (!whileReading && message.rfind("Loading conversations", 0) == 0) {
                whileReading = std::system(writer.c_str());
            } else if (message == "Merging duplicate conversations...") {
                whileMerging = std::system(writer.c_str());
            }
        });
    EXPECT_EQ(manager.snapshot(), nullptr) << "not read in place";
    ASSERT_TRUE(whileReading && whileMerging);
    EXPECT_NE(*whileReading, 0) << "a writer changed the database under the read";
    EXPECT_EQ(*whileMerging, 0) << "the file was still held while the chats were merged";
    ASSERT_EQ(messageCount(conversations), 9u);
    for (const auto& conversation : conversations) {
        for (const auto& message : conversation.messages) {
            EXPECT_EQ(message.text->rfind("message ", 0), 0u) << "read after the writer's change: " << *message.text;
        }
    }
}

TEST(ReadInPlace, ADamagedDatabaseReadInPlaceFailsAsDamaged) {
    const auto file = userFolder() / "damaged.db";
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 20, .messagesPerChat = 200});
    {
        // A stretch of pages in the middle of the file overwritten, the header and the size kept.
        const auto size = fs::file_size(file);
        std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>(size / 2));
        const std::string garbage(static_cast<std::size_t>(size / 8), '\x5a');
        out.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    const auto before = storetest::folderListing(file.parent_path());
    storetest::ProgressRecorder progress;
    try {
        const auto conversations = storetest::load(file, progress.callback());
        ADD_FAILURE() << "a damaged file loaded " << messageCount(conversations) << " messages";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::damaged());
    }
    EXPECT_EQ(progress.dropCopying(), 0u) << "the damage was found by a copy's check, not by the read";
    EXPECT_EQ(storetest::folderListing(file.parent_path()), before);
}

TEST(ReadInPlace, SaveCopyAfterAnInPlaceReadHasTheIdsOnScreen) {
    const auto file = userFolder() / "chat.db";
    buildChats(file);
    DatabaseManager manager;
    const auto conversations = manager.openDatabase(file);
    ASSERT_EQ(manager.snapshot(), nullptr);
    const auto deleted = conversations.front().messages.front().id;

    const auto target = userFolder() / "copy.db";
    DatabaseManager::saveEditedCopy(file, target, {deleted}, manager.snapshot());
    const auto copy = storetest::load(target);
    ASSERT_EQ(copy.size(), conversations.size());
    for (const auto& conversation : conversations) {
        const auto* saved = storetest::findById(copy, conversation.id);
        ASSERT_NE(saved, nullptr) << conversation.id;
        std::vector<std::int64_t> expected;
        for (const auto& message : conversation.messages) {
            if (message.id != deleted) {
                expected.push_back(message.id);
            }
        }
        std::vector<std::int64_t> ids;
        for (const auto& message : saved->messages) {
            ids.push_back(message.id);
        }
        EXPECT_EQ(ids, expected) << conversation.id;
    }
}

TEST(ReadInPlace, ACopyOfTheSameFileMeanwhileLeavesTheReadsLockInPlace) {
    // Closing any descriptor of a file drops every lock this process holds on it: a snapshot of the file taken on
    // another thread (a Save Copy) while it is read in place must wait, or a writer could change the file under
    // the read.
    const auto file = userFolder() / "chat.db";
    buildChats(file, qbtest::JournalMode::rollback, 3);
    storetest::PausedLoad load(file);
    std::atomic<bool> copied = false;
    std::thread saver([&] {
        quillobrandt::DatabaseSnapshot::take(file);
        copied = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(copied) << "the copy did not wait for the read";

    // Seen from another process, the read still holds its shared lock, so no writer
    // can take the file. (A forked child's own SQLite would believe its parent's locks, so it asks the kernel.)
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(file.c_str(), O_RDWR);
        auto lock = storetest::sqliteLockBytes(F_WRLCK, 2, 510); // the whole shared range
        ::_exit(fd >= 0 && ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type == F_RDLCK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the read lost its lock on the file";

    load.finish();
    saver.join();
    EXPECT_FALSE(load.error()) << load.error()->description();
    EXPECT_TRUE(copied);
}

TEST(ReadInPlace, AnotherConnectionToTheSameFileMeanwhileLeavesTheReadsLockInPlace) {
    // The Full Disk Access probe opens the Mac's database through SQLite while a load may read it in place. SQLite
    // keeps a closed descriptor of a file open while any connection of the process holds a lock on it, the read's
    // through the in-place layer included, so the probe needs no turn.
    const auto file = userFolder() / "chat.db";
    buildChats(file, qbtest::JournalMode::rollback, 3);
    storetest::PausedLoad load(file);
    {
        const auto probe = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
        probe.prepare("SELECT COUNT(*) FROM chat");
    }
    // A writer in another process, in rollback-journal mode, that will not wait.
    const std::string writer = "sqlite3 '" + file.string() +
                               "' 'PRAGMA busy_timeout=0; UPDATE message SET text = upper(text);' >/dev/null 2>&1";
    EXPECT_NE(std::system(writer.c_str()), 0) << "a writer changed the database under the read";
    load.finish();
    EXPECT_FALSE(load.error()) << load.error()->description();
    EXPECT_EQ(messageCount(load.conversations()), 9u);
}

TEST(ReadInPlace, AFileRewrittenOrCutShortUnderTheReadIsRefusedNeverReadTorn) {
    // Programs that are not SQLite ignore its locks: `cp` over the file rewrites it where it lies, `truncate` cuts it.
    // Whatever the read took from the file before and after, the load is the file as it was, or a clear refusal.
    const auto other = userFolder() / "other" / "chat.db";
    fs::create_directories(other.parent_path());
    {
        qbtest::MessagesDatabaseBuilder builder(other);
        for (int c = 0; c < 2; ++c) {
            const auto chat = builder.addOneToOneChat("person" + std::to_string(c) + "@example.com");
            for (int i = 0; i < 5; ++i) {
                builder.addMessageToChat(
                    chat.chatId, {.text = "other " + std::to_string(i), .date = i + 1, .handleId = chat.handleId});
            }
        }
        builder.finish();
    }
    const auto file = userFolder() / "rewritten" / "chat.db";
    for (const std::string& change :
         {"cp '" + other.string() + "' '" + file.string() + "'", "truncate -s 2048 '" + file.string() + "'"}) {
        buildChats(file);
        bool changed = false;
        DatabaseManager manager;
        const auto progress = [&](const std::string& message, double, const std::optional<std::string>&,
                                  std::optional<double>) {
            if (!changed && message.rfind("Loading conversations", 0) == 0) {
                changed = std::system(change.c_str()) == 0; // another process, as a user's shell would run it
            }
        };
        try {
            const auto conversations = manager.openDatabase(file, std::nullopt, progress);
            ADD_FAILURE() << change << ": loaded " << conversations.size() << " chats, " << messageCount(conversations)
                          << " messages";
        } catch (const DatabaseError& error) {
            EXPECT_EQ(error, DatabaseError::beingChanged()) << change << ": " << error.description();
        }
        EXPECT_TRUE(changed) << change;
        EXPECT_EQ(manager.snapshot(), nullptr) << change << ": not read in place";
    }
}

TEST(ReadInPlace, ALockTakenAgainAfterARewriteReadsOnlyTheNewFile) {
    // `cp` over the file while the read takes its lock: the lock is taken again, and what was read the first time
    // (pages, the schema) must not be used, even when the new file's header looks like the old one's (same change
    // counter and page count, as two files made by the same steps have). Here the two tables swap their pages.
    const auto folder = userFolder() / "swapped-tables";
    fs::create_directories(folder);
    const auto build = [](const fs::path& file, const std::string& first, const std::string& second,
                          const std::string& tag) {
        // Enough schema rows that reading them takes SQLite several thousand steps: the stop is asked meanwhile.
        std::string sql =
            "PRAGMA page_size=4096; BEGIN; CREATE TABLE " + first + "(v); CREATE TABLE " + second + "(v);";
        for (int i = 0; i < 300; ++i) {
            sql += "CREATE VIEW view_" + std::to_string(i) + " AS SELECT " + std::to_string(i) + ";";
        }
        sql +=
            "INSERT INTO alpha VALUES ('" + tag + "-alpha'); INSERT INTO omega VALUES ('" + tag + "-omega'); COMMIT;";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    const auto file = folder / "chat.db";
    const auto other = folder / "other.db";
    build(file, "alpha", "omega", "old");
    build(other, "omega", "alpha", "new");
    {
        const auto oldHeader = storetest::fileBytes(file).substr(24, 16);
        ASSERT_EQ(oldHeader, storetest::fileBytes(other).substr(24, 16)) << "the headers tell the files apart";
    }

    bool rewritten = false;
    const std::string rewrite = "cp '" + other.string() + "' '" + file.string() + "'";
    auto read = quillobrandt::openInPlace(file, [&] {
        if (!rewritten) {
            rewritten = true; // in the middle of the first attempt's first read
            EXPECT_EQ(std::system(rewrite.c_str()), 0);
        }
        return false;
    });
    ASSERT_TRUE(rewritten) << "the read finished before the file could be rewritten";
    ASSERT_TRUE(read) << "the file, unchanged since the rewrite, is not read where it lies";
    for (const std::string table : {"alpha", "omega"}) {
        auto rows = read->db.prepare("SELECT v FROM " + table);
        ASSERT_TRUE(rows.next()) << table;
        EXPECT_EQ(rows.columnText(0), "new-" + table) << "read with what the first attempt took of the old file";
    }
}

TEST(ReadInPlace, AFifoPutAtTheNameBetweenTheCheckAndTheOpenNeverHoldsTheLoad) {
    // Another process swaps the database and a FIFO at its name as fast as it can: SQLite's read-only open of a FIFO
    // would wait for a writer for ever, beyond any stop. Every load ends, with the chats or a clear refusal.
    const auto folder = userFolder() / "swapped";
    buildChats(folder / "real.db");
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    const auto file = folder / "chat.db";
    fs::copy_file(folder / "real.db", file);
    const pid_t swapper = ::fork();
    if (swapper == 0) {
        for (;;) {
            for (const char* name : {"real.db", "fifo"}) {
                ::link((folder / name).c_str(), (folder / "next").c_str());
                ::rename((folder / "next").c_str(), file.c_str());
            }
        }
    }
    int loaded = 0;
    int refused = 0;
    int held = 0;
    for (int i = 0; i < 100 && held == 0; ++i) {
        std::atomic<bool> ended = false;
        std::thread loader([&] {
            try {
                loaded += DatabaseManager().openDatabase(file).size() == 2 ? 1 : 0;
            } catch (const DatabaseError&) {
                ++refused;
            }
            ended = true;
        });
        for (int waited = 0; waited < 500 && !ended; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!ended) {
            ++held;
            ::kill(swapper, SIGKILL);
            const int writer = ::open((folder / "fifo").c_str(), O_WRONLY | O_NONBLOCK); // lets the open return
            loader.join();
            ::close(writer);
        } else {
            loader.join();
        }
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    EXPECT_EQ(held, 0) << "a load waited on the FIFO (" << loaded << " loaded, " << refused << " refused before)";
    EXPECT_GT(loaded + refused, 0);
}
