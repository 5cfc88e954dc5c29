#include "Quillobrandt/store/DatabaseSnapshot.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
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
using quillobrandt::WorkingFilesLock;

using storetest::buildLiveDatabase;
using storetest::messageCount;
using storetest::messagesFolder;
using storetest::snapshotFolderIsEmpty;

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
