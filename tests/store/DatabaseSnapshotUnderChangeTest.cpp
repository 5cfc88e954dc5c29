// A snapshot of a database that other programs change meanwhile: writers that hold SQLite's locks, a writer that ended
// in the middle of a change, programs that ignore the lock (truncate, mv, cp), owners that go away.
#include "Quillobrandt/store/DatabaseSnapshot.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "Quillobrandt/store/SnapshotCopies.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"
#include "tests/store/SnapshotTestSupport.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using quillobrandt::DatabaseSnapshot;

using storetest::buildLiveDatabase;
using storetest::messageCount;
using storetest::messagesFolder;
using storetest::snapshotFolderIsEmpty;

namespace {

// Another process holding a read lock on the database's lock bytes, as a reader inside a transaction does.
storetest::ChildProcess holdingALock(const fs::path& file) {
    return storetest::ChildProcess([&](const std::function<void()>& ready, int) {
        const int fd = ::open(file.c_str(), O_RDONLY);
        auto lock = storetest::sqliteLockBytes(F_RDLCK, 2, 1); // one byte of the shared range
        if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0) {
            return 1;
        }
        ready();
        ::pause();
        return 0;
    });
}

// take() while this thread holds the file's turn: the load waits for it and looks at its stop meanwhile. `change` runs
// at that first look: after the load began, before anything of the file was read.
std::shared_ptr<const DatabaseSnapshot> takeChangedBeforeTheCopy(const fs::path& file,
                                                                 const std::function<void()>& change) {
    std::optional<quillobrandt::FileTurn> held(std::in_place, file);
    std::mutex mutex;
    std::condition_variable changedOnce;
    bool changed = false;
    auto taking = std::async(std::launch::async, [&] {
        return DatabaseSnapshot::take(file, {}, [&] {
            const std::lock_guard lock(mutex);
            if (!changed) {
                change();
                changed = true;
                changedOnce.notify_all();
            }
            return false;
        });
    });
    // Until the change is made (or the load ended without ever looking at its stop: the test then fails below).
    for (bool done = false; !done;) {
        std::unique_lock lock(mutex);
        done = changedOnce.wait_for(lock, std::chrono::milliseconds(50), [&] { return changed; }) ||
               taking.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    held.reset();
    return taking.get();
}

// The messages a snapshot holds, or -1 when it holds no Messages database at all.
std::int64_t messagesIn(const DatabaseSnapshot& snapshot) try {
    return platform::SqliteDatabase::open(snapshot.file(), SQLITE_OPEN_READONLY)
        .queryInt64("SELECT COUNT(*) FROM message");
} catch (const platform::SqliteError&) {
    return -1;
}

} // namespace

TEST(DatabaseSnapshot, AnOwnerGoneBeforeTheReadBeganGetsNothingMadeOrRewrittenBesideItsFile) {
    // The owner seen holding its "-shm" closes (and takes its log away) before the copy opens the database as one more
    // reader: SQLite's own file layer would make a new "-wal" and "-shm" beside the user's file and leave them there.
    // Here the owner's lock stays and its log is gone, which is how that moment looks to the copy; as the lock stays,
    // the plain copy that follows sees an owner still there.
    const auto file = messagesFolder() / "chat.db";
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 2, .messagesPerChat = 5, .journal = qbtest::JournalMode::wal});
    ASSERT_FALSE(fs::exists(file.string() + "-wal"));
    const auto shm = file.string() + "-shm";
    std::ofstream(shm).close();
    const storetest::ChildProcess owner([&](const std::function<void()>& ready, int) {
        const int fd = ::open(shm.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 128; // SQLite's mark of a connection that has the database open
        lock.l_len = 1;
        if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0) {
            return 1;
        }
        ready();
        ::pause();
        return 0;
    });
    const auto before = storetest::folderListing(file.parent_path());
    try {
        const auto snapshot = DatabaseSnapshot::take(file);
        EXPECT_EQ(platform::SqliteDatabase::open(snapshot->file(), SQLITE_OPEN_READONLY)
                      .queryInt64("SELECT COUNT(*) FROM message"),
                  10);
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::beingChanged());
    }
    EXPECT_EQ(storetest::folderListing(file.parent_path()), before);

    // An owner killed after it was seen (or one that keeps its log and index when it closes) leaves both behind, held
    // by nobody: the reader would be the first to open the index, and SQLite would cut it and build it anew where it
    // lies. It refuses instead (the files are then copied as they are), and the folder stays as it was.
    const auto left = messagesFolder() / "left" / "chat.db";
    buildLiveDatabase(left);
    ASSERT_TRUE(fs::exists(left.string() + "-shm"));
    const auto leftBefore = storetest::folderListing(left.parent_path());
    const auto target = platform::homeDir() / "reader-copy" / "chat.db";
    fs::create_directories(target.parent_path());
    const quillobrandt::SnapshotProgress noProgress;
    quillobrandt::snapshot::CopyCounter counter(noProgress, 1);
    EXPECT_FALSE(quillobrandt::snapshot::readAsReader(left, target, counter, {}));
    EXPECT_EQ(storetest::folderListing(left.parent_path()), leftBefore);
    EXPECT_FALSE(fs::exists(target));

    // A live owner of a file whose name begins another file's name (here the private temporary folder's) is still
    // read beside as a reader: only the file's own companions are kept from being made.
    const auto prefix = platform::privateTempDir().parent_path() / "quillobrandt";
    qbtest::buildBulkMessagesDatabase(prefix, {.chats = 2, .messagesPerChat = 5, .journal = qbtest::JournalMode::wal});
    const storetest::ChildProcess liveOwner([&](const std::function<void()>& ready, int) {
        sqlite3* db = nullptr;
        if (sqlite3_open(prefix.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, "SELECT COUNT(*) FROM message", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return 1;
        }
        ready();
        ::pause();
        return 0;
    });
    const auto read = DatabaseSnapshot::take(prefix);
    EXPECT_EQ(
        platform::SqliteDatabase::open(read->file(), SQLITE_OPEN_READONLY).queryInt64("SELECT COUNT(*) FROM message"),
        10);
}

TEST(DatabaseSnapshot, ADatabaseLeftWithAHotJournalIsRolledBackInTheCopy) {
    // A writer killed mid-transaction: pages of the unfinished transaction are already in the file and its
    // "-journal" holds what undoes them. Only the copy may be rolled back, never the user's file.
    const auto file = messagesFolder() / "sms.db";
    fs::create_directories(file.parent_path());
    {
        qbtest::MessagesDatabaseBuilder builder(file);
        const auto ann = builder.addOneToOneChat("ann@example.com");
        builder.addMessageToChat(ann.chatId, {.text = "committed", .date = 1, .handleId = ann.handleId});
        builder.finish();
    }
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db,
                         "PRAGMA cache_size=1; BEGIN; "
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<3000) "
                         "INSERT INTO message (guid, text, date) SELECT 'torn-' || i, hex(randomblob(200)), 2 FROM n;",
                         nullptr, nullptr, nullptr) != SQLITE_OK) {
            ::_exit(1);
        }
        ::_exit(0); // killed before the commit
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_GT(fs::file_size(file.string() + "-journal"), 0u) << "the writer left no hot journal";

    // storetest::load checks the folder is left exactly as it was.
    const auto before = storetest::folderListing(file.parent_path());
    EXPECT_EQ(messageCount(storetest::load(file)), 1u);
    const auto copy = platform::homeDir() / "Documents" / "edited.db";
    fs::create_directories(copy.parent_path());
    DatabaseManager::saveEditedCopy(file, copy, {});
    EXPECT_EQ(messageCount(storetest::load(copy)), 1u);
    EXPECT_EQ(storetest::folderListing(file.parent_path()), before);
    EXPECT_TRUE(snapshotFolderIsEmpty());
}

TEST(DatabaseSnapshot, ARollbackModeDatabaseIsCopiedInsideOneReadTransaction) {
    // A writer in rollback-journal mode commits whenever it likes: a plain copy it changes under is thrown away, again
    // and again. The copy is taken under the shared lock of one read transaction instead, which no writer can change
    // under: the writer waits while the bytes are copied, and the copy is the database as committed when it began.
    const auto file = messagesFolder() / "chat.db";
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 20, .messagesPerChat = 200});
    const auto count = [](const fs::path& database, const char* sql) {
        return platform::SqliteDatabase::open(database, SQLITE_OPEN_READONLY).queryInt64(sql);
    };
    constexpr const char* kChanged = "SELECT COUNT(*) FROM message WHERE text = upper(text)";
    ASSERT_EQ(count(file, kChanged), 0);
    // A writer in another process that will not wait.
    const std::string writer = "sqlite3 '" + file.string() +
                               "' 'PRAGMA busy_timeout=0; UPDATE message SET text = upper(text) WHERE ROWID % 7 = 0;' "
                               ">/dev/null 2>&1";
    // The first report comes while the copy is under way.
    std::optional<int> duringTheCopy;
    const auto snapshot = DatabaseSnapshot::take(file, [&](double) {
        if (!duringTheCopy) {
            duringTheCopy = std::system(writer.c_str());
        }
    });
    ASSERT_TRUE(duringTheCopy);
    EXPECT_NE(*duringTheCopy, 0) << "a writer changed the database while it was copied";
    EXPECT_EQ(count(snapshot->file(), kChanged), 0);
    EXPECT_EQ(count(snapshot->file(), "SELECT COUNT(*) FROM message"), 4000);
    EXPECT_EQ(std::system(writer.c_str()), 0) << "the copy left the file locked";
    EXPECT_GT(count(file, kChanged), 0);

    // A program that ignores the lock (cp) rewrites the file while the copy is under way: the copy is then of the new
    // file alone, never of the old file's first bytes and the new file's last.
    const auto large = messagesFolder() / "large.db";
    const auto other = messagesFolder() / "other.db";
    qbtest::buildBulkMessagesDatabase(large, {.chats = 20, .messagesPerChat = 2000});
    qbtest::buildBulkMessagesDatabase(other, {.chats = 30, .messagesPerChat = 1500});
    ASSERT_GT(fs::file_size(large), std::uintmax_t{8} << 20) << "copied in one go: nothing can be rewritten meanwhile";
    const std::string rewrite = "cp '" + other.string() + "' '" + large.string() + "'";
    bool rewritten = false;
    const auto copy = DatabaseSnapshot::take(large, [&](double) {
        if (!rewritten) {
            rewritten = std::system(rewrite.c_str()) == 0;
        }
    });
    ASSERT_TRUE(rewritten);
    const auto db = platform::SqliteDatabase::open(copy->file(), SQLITE_OPEN_READONLY);
    auto check = db.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(check.next());
    EXPECT_EQ(check.columnText(0), "ok");
    EXPECT_EQ(db.queryInt64("SELECT COUNT(*) FROM message"), 45000);

    // `cp` first cuts the file to nothing, and freeing a large file's room takes it a while before it writes: a file
    // seen rewritten that is empty now is that program at work, never an empty database.
    qbtest::buildBulkMessagesDatabase(large, {.chats = 20, .messagesPerChat = 2000});
    bool emptied = false;
    try {
        const auto empty = DatabaseSnapshot::take(large, [&](double) {
            if (!emptied) {
                emptied = ::truncate(large.c_str(), 0) == 0;
            }
        });
        ADD_FAILURE() << "a file emptied under the copy was taken as a database of "
                      << platform::SqliteDatabase::open(empty->file(), SQLITE_OPEN_READONLY)
                             .queryInt64("SELECT COUNT(*) FROM sqlite_schema")
                      << " tables";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::beingChanged());
    }
    EXPECT_TRUE(emptied);
}

TEST(DatabaseSnapshot, FilesLeftAloneAreTrustedAsCopiedAndJustWrittenOnesAreChecked) {
    // SQLite's full check reads the whole copy once more; it buys nothing where any change would have shown.
    const auto file = messagesFolder() / "chat.db";
    buildLiveDatabase(file);
    fs::remove(file.string() + "-shm"); // nobody has it open: the files are copied
    const auto checked = [&] {
        const std::string marker = "snapshot test: " + platform::makeUuidString();
        quillobrandt::Logger::shared().log(marker);
        const auto snapshot = DatabaseSnapshot::take(file);
        const auto logs = quillobrandt::Logger::shared().getAllLogs();
        const auto from = logs.find(marker);
        EXPECT_NE(from, std::string::npos);
        // The current log comes first: a log rotated meanwhile holds earlier lines after it.
        return logs.find("no further check", from) >= logs.find("=== Previous Log ===", from);
    };
    EXPECT_TRUE(checked()) << "files written a moment ago";
    for (const char* suffix : {"", "-wal"}) {
        fs::last_write_time(file.string() + suffix, fs::file_time_type::clock::now() - std::chrono::minutes(5));
    }
    EXPECT_FALSE(checked()) << "files left alone for minutes";
    EXPECT_EQ(messageCount(storetest::load(file)), 3u);

    // Held by another process (an open transaction), or with a journal beside it, the copy is checked again.
    {
        const auto held = holdingALock(file);
        EXPECT_TRUE(checked()) << "files another program holds";
    }
    std::ofstream(file.string() + "-journal");
    EXPECT_TRUE(checked()) << "files with a journal";

    // A copy that fails the check is refused as damaged, and nothing of it is left.
    const auto damaged = messagesFolder() / "damaged.db";
    qbtest::buildBulkMessagesDatabase(damaged,
                                      {.chats = 20, .messagesPerChat = 200, .journal = qbtest::JournalMode::wal});
    {
        // A stretch of pages in the middle of the file overwritten, the header and the size kept.
        const auto size = fs::file_size(damaged);
        std::fstream out(damaged, std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>(size / 2));
        const std::string garbage(static_cast<std::size_t>(size / 8), '\x5a');
        out.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    try {
        DatabaseSnapshot::take(damaged);
        ADD_FAILURE() << "a damaged file was taken as copied";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::damaged());
    }
    EXPECT_TRUE(snapshotFolderIsEmpty());
}

TEST(DatabaseSnapshot, APlainCopyOfAFileChangedMeanwhileIsTheNewFileWholeOrRefusedAsChanged) {
    // A WAL database nobody has open is copied as its files are. A program that ignores SQLite's lock may change it at
    // any moment after the load began: before anything was copied (here while the load waits for its turn on the
    // file) or while it is copied. The copy is then of the new file whole, or refused as a database being changed;
    // never an empty database, nor "damaged" for a file that was sound when the load began.
    struct Change {
        const char* what;
        std::function<void(const fs::path& file, const fs::path& other)> make;
        std::int64_t messages; // of the new file; 0: refused
    };
    const std::vector<Change> changes{
        {"emptied (truncate)", [](const fs::path& file, const fs::path&) { (void)::truncate(file.c_str(), 0); }, 0},
        {"cut short (truncate)",
         [](const fs::path& file, const fs::path&) {
             (void)::truncate(file.c_str(), static_cast<off_t>(fs::file_size(file) / 2));
         },
         0},
        {"replaced (mv)", [](const fs::path& file, const fs::path& other) { fs::rename(other, file); }, 600},
        {"rewritten (cp)",
         [](const fs::path& file, const fs::path& other) {
             fs::copy_file(other, file, fs::copy_options::overwrite_existing);
         },
         600},
    };
    int row = 0;
    for (const bool beforeTheCopy : {true, false}) {
        for (const auto& change : changes) {
            const auto folder = messagesFolder() / ("changed-" + std::to_string(++row));
            const auto file = folder / "chat.db";
            const auto other = folder / "other.db";
            fs::create_directories(folder);
            qbtest::buildBulkMessagesDatabase(
                file, {.chats = 4, .messagesPerChat = 200, .journal = qbtest::JournalMode::wal});
            qbtest::buildBulkMessagesDatabase(
                other, {.chats = 6, .messagesPerChat = 100, .journal = qbtest::JournalMode::wal});
            const std::string label = std::string(change.what) + (beforeTheCopy ? " before" : " during") + " the copy";
            bool changed = false;
            const auto changeOnce = [&] {
                if (!changed) {
                    changed = true;
                    change.make(file, other);
                }
            };
            try {
                const auto snapshot = beforeTheCopy ? takeChangedBeforeTheCopy(file, changeOnce)
                                                    : DatabaseSnapshot::take(file, [&](double) { changeOnce(); });
                EXPECT_EQ(messagesIn(*snapshot), change.messages) << label << ": taken as copied";
            } catch (const DatabaseError& error) {
                EXPECT_EQ(change.messages, 0) << label;
                EXPECT_EQ(error, DatabaseError::beingChanged()) << label;
            }
            EXPECT_TRUE(changed) << label;
        }
    }
    EXPECT_TRUE(snapshotFolderIsEmpty());
}
