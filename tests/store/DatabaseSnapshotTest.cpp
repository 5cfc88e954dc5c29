#include "Quillobrandt/store/DatabaseSnapshot.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/store/SnapshotCopies.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using quillobrandt::DatabaseSnapshot;
using quillobrandt::WorkingFilesLock;

namespace {

fs::path messagesFolder() {
    return platform::homeDir() / "Library" / "Messages";
}

std::size_t messageCount(const std::vector<quillobrandt::Conversation>& conversations) {
    std::size_t count = 0;
    for (const auto& conversation : conversations) {
        count += conversation.messages.size();
    }
    return count;
}

// A database whose owner is still running: the second chat's rows are only in "-wal" (with its "-shm").
void buildLiveDatabase(const fs::path& file) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::wal);
    const auto ann = builder.addOneToOneChat("ann@example.com");
    builder.addMessageToChat(ann.chatId, {.text = "checkpointed", .date = 1, .handleId = ann.handleId});
    builder.checkpoint();
    const auto bob = builder.addOneToOneChat("bob@example.com");
    builder.addMessageToChat(bob.chatId, {.text = "only in the log", .date = 2, .handleId = bob.handleId});
    builder.addMessageToChat(bob.chatId, {.text = "also in the log", .date = 3, .isFromMe = 1});
    builder.finishLeavingWal();
}

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

bool snapshotFolderIsEmpty() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(platform::privateTempDir(), error)) {
        if (entry.path().filename().string().rfind(DatabaseSnapshot::folderPrefix, 0) == 0) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(DatabaseSnapshot, ALiveWalDatabaseIsReadWithItsLogAndItsFolderIsLeftAsItWas) {
    const auto file = messagesFolder() / "chat.db";
    buildLiveDatabase(file);
    ASSERT_TRUE(fs::exists(file.string() + "-wal"));
    const auto before = storetest::folderListing(messagesFolder());

    storetest::ProgressRecorder progress;
    {
        DatabaseManager manager;
        const auto conversations = manager.openDatabase(file, std::nullopt, progress.callback());
        EXPECT_EQ(conversations.size(), 2u);
        EXPECT_EQ(messageCount(conversations), 3u);
        EXPECT_EQ(manager.databaseURL(), file); // the user sees their own path
        EXPECT_EQ(manager.attachmentBaseURL(), messagesFolder());
        ASSERT_NE(manager.snapshot(), nullptr);
        EXPECT_TRUE(platform::isInside(manager.snapshot()->file(), platform::privateTempDir()));
        EXPECT_TRUE(manager.snapshot()->isOf(file));
        EXPECT_FALSE(snapshotFolderIsEmpty());
    }
    EXPECT_TRUE(snapshotFolderIsEmpty()) << "the snapshot goes with its load";
    EXPECT_EQ(storetest::folderListing(messagesFolder()), before);

    const auto messages = progress.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages.front(), "Copying database...");
    EXPECT_EQ(progress.events.front().fraction, 0.0);
    const auto counting = std::find(messages.begin(), messages.end(), "Counting conversations...");
    ASSERT_NE(counting, messages.end());
    EXPECT_EQ(progress.events[static_cast<std::size_t>(counting - messages.begin()) - 1].fraction, 1.0);
    EXPECT_TRUE(std::all_of(messages.begin(), counting, [](const auto& m) { return m == "Copying database..."; }));
}

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

TEST(DatabaseSnapshot, ALogWithoutItsIndexStillCountsAndALoadReplacedDropsItsSnapshot) {
    // Copied off a Mac disk: "-wal" came along, the "-shm" of the running Messages did not.
    const auto file = messagesFolder() / "chat.db";
    buildLiveDatabase(file);
    fs::remove(file.string() + "-shm");
    const auto other = platform::homeDir() / "Documents" / "sms.db";
    buildLiveDatabase(other);

    DatabaseManager manager;
    EXPECT_EQ(messageCount(manager.openDatabase(file)), 3u);
    const auto first = manager.snapshot()->file();
    EXPECT_TRUE(fs::exists(first));
    EXPECT_EQ(messageCount(manager.openDatabase(other)), 3u);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_FALSE(fs::exists(first.parent_path()));
    EXPECT_FALSE(fs::exists(file.string() + "-shm"));
}

// Loads `file` in a child process that cannot write the file's folder, and returns its exit status: the
// number of messages read, or 100 and up for what went wrong. The tests may run as root, who can write
// anywhere: the child then switches to an unprivileged user.
int messagesReadWithoutWriteAccess(const fs::path& file) {
    const auto folder = file.parent_path();
    const auto shared = qbtest::IsolatedHome::root() / "shared-tmp";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    for (const auto& entry : fs::directory_iterator(folder)) {
        fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    for (auto parent = folder.parent_path(); parent != parent.parent_path(); parent = parent.parent_path()) {
        fs::permissions(parent, fs::perms::others_exec, fs::perm_options::add); // let the child reach it
    }
    const pid_t child = ::fork();
    if (child == -1) {
        return -1;
    }
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(100);
        }
        for (const char* name : {"TMPDIR", "HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
            ::setenv(name, shared.c_str(), 1);
        }
        if (::access(folder.c_str(), W_OK) == 0) {
            ::_exit(101); // the folder would not prove anything
        }
        int status = 102;
        try {
            DatabaseManager manager;
            status = static_cast<int>(messageCount(manager.openDatabase(file)));
        } catch (const DatabaseError&) {
            status = 103;
        } catch (...) {
            status = 104;
        }
        ::_exit(status);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A read-only mount of a Mac disk, a shared folder, a forensic copy: with or without the running Messages'
// "-shm" beside the log, every row loads and nothing in the folder changes.
TEST(DatabaseSnapshot, AWalDatabaseInAFolderNobodyMayWriteLoadsEveryRow) {
    for (const bool withIndex : {true, false}) {
        const auto file = qbtest::IsolatedHome::root() / (withIndex ? "mounted" : "copied") / "chat.db";
        buildLiveDatabase(file);
        if (!withIndex) {
            fs::remove(file.string() + "-shm");
        }
        const auto before = storetest::folderListing(file.parent_path());
        EXPECT_EQ(messagesReadWithoutWriteAccess(file), 3)
            << "100: no user switch, 101: folder writable, 103: load failed; -shm present: " << withIndex;
        EXPECT_EQ(storetest::folderListing(file.parent_path()), before);
    }
}

TEST(DatabaseSnapshot, OnlyRegularFilesAreCopied) {
    const auto folder = messagesFolder();
    buildLiveDatabase(folder / "real.db");

    // Neither a FIFO in the database's place nor in its log's may hang the load.
    ASSERT_EQ(::mkfifo((folder / "fifo.db").c_str(), 0600), 0);
    EXPECT_THROW(storetest::load(folder / "fifo.db"), DatabaseError);
    fs::copy_file(folder / "real.db", folder / "piped.db");
    ASSERT_EQ(::mkfifo((folder / "piped.db-wal").c_str(), 0600), 0);
    EXPECT_THROW(storetest::load(folder / "piped.db"), DatabaseError);
    fs::copy_file(folder / "real.db", folder / "linkedlog.db");
    fs::create_symlink(folder / "real.db-wal", folder / "linkedlog.db-wal");
    EXPECT_THROW(storetest::load(folder / "linkedlog.db"), DatabaseError);

    EXPECT_THROW(storetest::load(folder / "missing.db"), DatabaseError);
    EXPECT_THROW(storetest::load(folder), DatabaseError);
    EXPECT_TRUE(snapshotFolderIsEmpty()) << "a refused copy leaves nothing behind";
}

TEST(DatabaseSnapshot, AStartSweepsAKilledRunsLeftoversOnlyWhenNoOtherCopyRuns) {
    const auto caches = platform::cachesDir();
    fs::create_directories(caches);
    const auto uuid = platform::makeUuidString();
    const auto index = caches / ("DecryptedManifest-" + uuid + ".db");
    const auto plainIndex = caches / ("ManifestSnapshot-" + uuid + ".db");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::ofstream(index.string() + suffix) << "index";
        std::ofstream(plainIndex.string() + suffix) << "index";
    }
    const std::vector<fs::path> kept{caches / "DecryptedManifest-notauuid.db", caches / ("Quillobrandt_" + uuid),
                                     platform::privateTempDir() / "Messages"};
    for (const auto& path : kept) {
        fs::create_directories(path);
    }
    const auto stale = platform::privateTempDir() / "snapshot-abc123";
    fs::create_directories(stale);
    std::ofstream(stale / "chat.db") << "old";
    const auto staleInCaches = caches / "Quillobrandt-snapshot-abc123"; // taken there when the temporary was full
    fs::create_directories(staleInCaches);

    {
        const auto lock = WorkingFilesLock::acquireAndSweep();
        EXPECT_TRUE(lock.isHeld());
        EXPECT_FALSE(fs::exists(stale));
        EXPECT_FALSE(fs::exists(staleInCaches));
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_FALSE(fs::exists(index.string() + suffix)) << suffix;
            EXPECT_FALSE(fs::exists(plainIndex.string() + suffix)) << suffix;
        }
        for (const auto& path : kept) {
            EXPECT_TRUE(fs::exists(path)) << path;
        }

        // A second copy of the program starting now must not take the first one's files away.
        fs::create_directories(stale);
        std::ofstream(index.string()) << "index";
        const auto second = WorkingFilesLock::acquireAndSweep();
        EXPECT_TRUE(fs::exists(stale));
        EXPECT_TRUE(fs::exists(index));
    }
    const auto later = WorkingFilesLock::acquireAndSweep();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_FALSE(fs::exists(index));
}

TEST(DatabaseSnapshot, AStartRemovesTheExtractionsNobodySavedAndKeepsTheSavedOnes) {
    // Each extraction holds a decrypted copy of the phone's messages; unsaved ones must not pile up.
    auto first = std::make_optional(WorkingFilesLock::acquireAndSweep());
    const auto caches = platform::cachesDir();
    const auto saved = caches / ("Quillobrandt_" + platform::makeUuidString());
    const auto unsaved = caches / ("Quillobrandt_" + platform::makeUuidString());
    const auto notOurs = caches / "Quillobrandt_holiday-photos";
    for (const auto& folder : {saved, unsaved, notOurs}) {
        fs::create_directories(folder / "Library/SMS/Attachments");
        std::ofstream(folder / "sms.db") << "messages";
    }
    for (const auto& folder : {unsaved, notOurs}) {
        std::ofstream(folder / WorkingFilesLock::unsavedExtractionMarker) << "\n";
    }
    {
        // Another copy of the program is running: the unsaved extraction may be the one it shows.
        const auto second = WorkingFilesLock::acquireAndSweep();
        EXPECT_TRUE(fs::exists(unsaved));
    }
    first.reset();
    const auto lock = WorkingFilesLock::acquireAndSweep();
    EXPECT_FALSE(fs::exists(unsaved));
    EXPECT_TRUE(fs::exists(saved / "sms.db"));
    EXPECT_TRUE(fs::exists(notOurs / "sms.db"));
}

TEST(DatabaseSnapshot, AStopDuringTheCopyEndsTheLoadAndLeavesNoCopy) {
    const auto file = messagesFolder() / "big.db";
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 20, .messagesPerChat = 200, .journal = qbtest::JournalMode::wal});
    const auto before = storetest::folderListing(messagesFolder());
    DatabaseManager manager;
    std::vector<std::string> afterStop;
    const auto stopWhileCopying = [&](const std::string& message, double, const std::optional<std::string>&,
                                      std::optional<double>) {
        if (manager.stopRequested()) {
            afterStop.push_back(message);
        } else if (message == "Copying database...") {
            manager.requestStop();
        }
    };
    try {
        manager.openDatabase(file, std::nullopt, stopWhileCopying);
        FAIL() << "a stopped load returned conversations";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::stopped());
    }
    for (const auto& message : afterStop) {
        EXPECT_EQ(message, "Copying database...") << "nothing is read once stopped";
    }
    EXPECT_EQ(manager.snapshot(), nullptr);
    EXPECT_TRUE(snapshotFolderIsEmpty()) << "a stopped copy leaves nothing behind";
    EXPECT_EQ(storetest::folderListing(messagesFolder()), before);
}

TEST(DatabaseSnapshot, AStopAfterAnyReportEndsTheLoadAsAStopLoggedOnce) {
    // A stop lands wherever the reader is: in the copy, while the copy is checked, while the chats are counted or
    // read. Each of those ends the load as a stop, never as a failure, and says so once in the log.
    const auto file = messagesFolder() / "stops.db";
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 20, .messagesPerChat = 200});
    storetest::ProgressRecorder whole;
    storetest::load(file, whole.callback());
    const auto& logger = quillobrandt::Logger::shared();
    const auto stopLines = [&] {
        const std::string logs = logger.getAllLogs();
        int count = 0;
        for (auto at = logs.find("⏹️ Load stopped"); at != std::string::npos;
             at = logs.find("⏹️ Load stopped", at + 1)) {
            ++count;
        }
        return count;
    };
    // Reports come at most every few milliseconds, so a run may make one more or one fewer than the whole load did.
    for (std::size_t stopAt = 1; stopAt <= whole.events.size() + 1; ++stopAt) {
        std::error_code ignored;
        fs::remove(logger.oldLogFileURL(), ignored); // each case reads only its own lines
        fs::remove(logger.logFileURL(), ignored);
        std::optional<std::string> stoppedAt;
        std::optional<DatabaseError> error;
        {
            DatabaseManager manager;
            std::size_t seen = 0;
            const auto stopThere = [&](const std::string& message, double, const std::optional<std::string>&,
                                       std::optional<double>) {
                if (++seen == stopAt) {
                    stoppedAt = message;
                    manager.requestStop();
                }
            };
            try {
                manager.openDatabase(file, std::nullopt, stopThere);
            } catch (const DatabaseError& thrown) {
                error = thrown;
            }
        }
        SCOPED_TRACE("stopped at report " + std::to_string(stopAt) + ": " + stoppedAt.value_or("(none)"));
        // Only the merge of what was read and the final report come after the last chat: nothing is left to stop.
        if (stoppedAt && !stoppedAt->starts_with("Merging") && *stoppedAt != "Complete") {
            EXPECT_EQ(error, DatabaseError::stopped());
        }
        EXPECT_EQ(stopLines(), error ? 1 : 0) << logger.getAllLogs();
        EXPECT_TRUE(snapshotFolderIsEmpty()) << "a stopped load leaves no copy behind";
    }
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
