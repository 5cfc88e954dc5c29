// A database that another process writes while the store reads it, as the running Messages app does: every
// snapshot, load and edited copy is either consistent or refused with a clear error, never torn.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "platform/core/Sqlite.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using quillobrandt::DatabaseSnapshot;

namespace {

// How many chats the fixture has.
constexpr std::int64_t kChats = 7;
// How many of its own messages the writer keeps: each commit adds one and removes the oldest.
constexpr std::int64_t kKeptLiveMessages = 1000;

// A second process that commits one message and its join row at a time, as fast as it can, in WAL mode with
// frequent checkpoints (each one moves pages into the main file and later restarts the log), or in another journal
// mode. Killed by the destructor.
class LiveWriter {
public:
    LiveWriter(const fs::path& file, std::int64_t chatId, const char* extraPragma = "", const char* journalMode = "WAL",
               useconds_t pause = 200) {
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            run(file, chatId, extraPragma, journalMode, pause, ready[1]);
        }
        ::close(ready[1]);
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (!started) {
            throw std::runtime_error("the writer did not start");
        }
    }
    ~LiveWriter() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    LiveWriter(const LiveWriter&) = delete;
    LiveWriter& operator=(const LiveWriter&) = delete;

private:
    [[noreturn]] static void run(const fs::path& file, std::int64_t chatId, const char* extraPragma,
                                 const char* journalMode, useconds_t pause, int ready) {
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
            ::_exit(1);
        }
        sqlite3_busy_timeout(db, 5000);
        // The extra pragma comes first: a locking mode must be set before the file is first read.
        const std::string setup = std::string(extraPragma) + "PRAGMA journal_mode=" + journalMode +
                                  "; PRAGMA wal_autocheckpoint=16; PRAGMA synchronous=OFF;";
        if (sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            ::_exit(2);
        }
        sqlite3_stmt* message = nullptr;
        sqlite3_stmt* join = nullptr;
        sqlite3_stmt* forget = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO message (guid, text, date, handle_id) VALUES (?, ?, ?, 1)", -1, &message,
                           nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)", -1,
                           &join, nullptr);
        // The schema's own trigger removes a message together with its last join row.
        sqlite3_prepare_v2(
            db, "DELETE FROM chat_message_join WHERE message_id = (SELECT ROWID FROM message WHERE guid = ?)", -1,
            &forget, nullptr);
        for (std::int64_t i = 1;; ++i) {
            const std::string guid = "live-" + std::to_string(i);
            const std::string text = "live message " + std::to_string(i);
            const std::int64_t date = 700000000000000000 + i;
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            sqlite3_bind_text(message, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(message, 2, text.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(message, 3, date);
            bool written = sqlite3_step(message) == SQLITE_DONE;
            sqlite3_reset(message);
            sqlite3_bind_int64(join, 1, chatId);
            sqlite3_bind_int64(join, 2, sqlite3_last_insert_rowid(db));
            sqlite3_bind_int64(join, 3, date);
            written = sqlite3_step(join) == SQLITE_DONE && written;
            sqlite3_reset(join);
            if (i > kKeptLiveMessages) {
                // The file stays small, so that reading it costs the same at the end of the test as at the start.
                const std::string old = "live-" + std::to_string(i - kKeptLiveMessages);
                sqlite3_bind_text(forget, 1, old.c_str(), -1, SQLITE_TRANSIENT);
                written = sqlite3_step(forget) == SQLITE_DONE && written;
                sqlite3_reset(forget);
            }
            if (!written || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            if (i == 1 && ::write(ready, "r", 1) != 1) {
                ::_exit(3);
            }
            ::usleep(pause);
        }
    }

    pid_t pid_ = -1;
};

struct Counts {
    std::string check;
    std::int64_t messages = 0;
    std::int64_t joins = 0;
    std::int64_t chats = 0;
};

// A torn file may fail any statement; that counts as torn too.
Counts countsOf(const fs::path& file) try {
    const auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    const auto one = [&](const char* sql) {
        auto statement = db.prepare(sql);
        return statement.next() ? statement.columnInt64(0) : -1;
    };
    Counts counts;
    auto check = db.prepare("PRAGMA integrity_check");
    counts.check = check.next() ? check.columnText(0).value_or("") : "no answer";
    counts.messages = one("SELECT COUNT(*) FROM message");
    counts.joins = one("SELECT COUNT(*) FROM chat_message_join");
    counts.chats = one("SELECT COUNT(*) FROM chat");
    return counts;
} catch (const platform::SqliteError& error) {
    return {error.what()};
}

bool consistent(const Counts& counts) {
    return counts.check == "ok" && counts.messages == counts.joins && counts.chats == kChats;
}

struct Tally {
    int consistent = 0;
    int refused = 0;
    int torn = 0;
};

std::ostream& operator<<(std::ostream& out, const Tally& tally) {
    return out << tally.consistent << " consistent, " << tally.refused << " refused, " << tally.torn << " torn";
}

// A refusal must be one of the clear errors, never a success with part of the data.
bool isClearRefusal(const DatabaseError& error) {
    return error.code() == DatabaseError::Code::beingChanged;
}

std::size_t messageTotal(const std::vector<quillobrandt::Conversation>& conversations) {
    std::size_t total = 0;
    for (const auto& conversation : conversations) {
        total += conversation.messages.size();
    }
    return total;
}

} // namespace

// The test fixture's small real database keeps the wall time short even under the sanitizers.
TEST(LiveWriter, EverySnapshotLoadAndEditedCopyIsConsistentOrRefused) {
    const auto folder = qbtest::IsolatedHome::root() / "Messages";
    fs::create_directories(folder);
    const auto file = folder / "sms.db";
    fs::copy_file(qbtest::copySharedTestData("ios-sms.db"), file);

    DatabaseManager baselineReader;
    const auto baseline = baselineReader.openDatabase(file);
    const auto baselineMessages = messageTotal(baseline);
    const auto deletedId = baseline.front().messages.front().id;

    const LiveWriter writer(file, std::stoll(baseline.front().id));
    const auto start = std::chrono::steady_clock::now();
    Tally snapshots;
    for (int i = 0; i < 200; ++i) {
        try {
            const auto snapshot = DatabaseSnapshot::take(file);
            const auto counts = countsOf(snapshot->file());
            if (!consistent(counts) && snapshots.torn == 0) {
                std::cout << "torn snapshot: " << counts.messages << " messages, " << counts.joins << " joins, "
                          << counts.chats << " chats, check " << counts.check << "\n";
            }
            ++(consistent(counts) ? snapshots.consistent : snapshots.torn);
        } catch (const DatabaseError& error) {
            ++(isClearRefusal(error) ? snapshots.refused : snapshots.torn);
        }
    }
    const auto snapshotsTook = std::chrono::steady_clock::now() - start;
    Tally loads;
    for (int i = 0; i < 100; ++i) {
        try {
            DatabaseManager manager;
            const auto conversations = manager.openDatabase(file);
            const auto counts = countsOf(manager.snapshot()->file());
            // Everything the writer added went to one chat that the load shows.
            const bool whole = conversations.size() == baseline.size() &&
                               messageTotal(conversations) - baselineMessages ==
                                   static_cast<std::size_t>(counts.joins - static_cast<std::int64_t>(105));
            if (!(consistent(counts) && whole) && loads.torn == 0) {
                std::cout << "torn load: " << conversations.size() << " of " << baseline.size() << " chats, "
                          << messageTotal(conversations) << " messages, " << counts.joins << " joins, "
                          << counts.messages << " messages in the snapshot, check " << counts.check << "\n";
            }
            ++(consistent(counts) && whole ? loads.consistent : loads.torn);
        } catch (const DatabaseError& error) {
            ++(isClearRefusal(error) ? loads.refused : loads.torn);
        }
    }
    const auto loadsTook = std::chrono::steady_clock::now() - start - snapshotsTook;
    Tally copies;
    const auto target = qbtest::IsolatedHome::root() / "edited.db";
    for (int i = 0; i < 50; ++i) {
        try {
            DatabaseManager::saveEditedCopy(file, target, {deletedId});
            const auto counts = countsOf(target);
            const auto db = platform::SqliteDatabase::open(target, SQLITE_OPEN_READONLY);
            auto gone = db.prepare("SELECT COUNT(*) FROM message WHERE ROWID = ?");
            gone.bindInt64(1, deletedId);
            const bool deleted = gone.next() && gone.columnInt64(0) == 0;
            ++(consistent(counts) && deleted ? copies.consistent : copies.torn);
        } catch (const DatabaseError& error) {
            ++(isClearRefusal(error) ? copies.refused : copies.torn);
        }
    }
    const auto seconds = [](auto duration) { return std::chrono::duration<double>(duration).count(); };
    std::cout << "snapshots: " << snapshots << " (" << seconds(snapshotsTook) << " s)\nloads: " << loads << " ("
              << seconds(loadsTook) << " s)\nedited copies: " << copies << " ("
              << seconds(std::chrono::steady_clock::now() - start - snapshotsTook - loadsTook) << " s)" << std::endl;
    EXPECT_EQ(snapshots.torn, 0) << snapshots;
    EXPECT_EQ(loads.torn, 0) << loads;
    EXPECT_EQ(copies.torn, 0) << copies;
    EXPECT_GT(snapshots.consistent + loads.consistent + copies.consistent, 0);
}

// A writer that keeps its log's index in its own memory (exclusive locking) cannot be joined as a reader: the
// files are copied, and a copy they changed under is thrown away, so each attempt ends consistent or refused.
TEST(LiveWriter, AWriterWithoutASharedIndexLeavesAConsistentCopyOrAClearRefusal) {
    const auto folder = qbtest::IsolatedHome::root() / "Messages";
    fs::create_directories(folder);
    const auto file = folder / "sms.db";
    fs::copy_file(qbtest::copySharedTestData("ios-sms.db"), file);
    const auto chatId = std::stoll(DatabaseManager().openDatabase(file).front().id);

    const LiveWriter writer(file, chatId, "PRAGMA locking_mode=EXCLUSIVE;");
    ASSERT_FALSE(fs::exists(file.string() + "-shm"));
    Tally snapshots;
    for (int i = 0; i < 10; ++i) {
        try {
            const auto snapshot = DatabaseSnapshot::take(file);
            ++(consistent(countsOf(snapshot->file())) ? snapshots.consistent : snapshots.torn);
        } catch (const DatabaseError& error) {
            ++(isClearRefusal(error) ? snapshots.refused : snapshots.torn);
            EXPECT_STREQ(error.description(),
                         "Another program is changing the database. It can be loaded once that program is closed.");
        }
    }
    std::cout << "snapshots beside an exclusive writer: " << snapshots << std::endl;
    EXPECT_EQ(snapshots.torn, 0) << snapshots;
}

// A writer in rollback-journal mode, as older programs keep their databases, committing every few milliseconds: a
// load reads the file where it lies once it holds the file's shared lock (the writer then waits), and through a
// snapshot whenever a journal is beside it. Either way each load shows one committed state, or a clear refusal.
TEST(LiveWriter, ARollbackModeWriterLeavesEveryLoadWholeOrRefused) {
    const auto folder = qbtest::IsolatedHome::root() / "Messages";
    fs::create_directories(folder);
    const auto file = folder / "sms.db";
    fs::copy_file(qbtest::copySharedTestData("ios-sms.db"), file);
    const auto baseline = DatabaseManager().openDatabase(file);
    const auto baselineMessages = messageTotal(baseline);

    const LiveWriter writer(file, std::stoll(baseline.front().id), "", "DELETE", 2000);
    Tally loads;
    int inPlace = 0;
    for (int i = 0; i < 100; ++i) {
        try {
            DatabaseManager manager;
            const auto conversations = manager.openDatabase(file);
            inPlace += manager.snapshot() == nullptr ? 1 : 0;
            // Commit n holds the writer's messages max(1, n - 999) ... n: a whole run, nothing else added or lost.
            std::vector<std::int64_t> live;
            for (const auto& conversation : conversations) {
                for (const auto& message : conversation.messages) {
                    if (message.text && message.text->rfind("live message ", 0) == 0) {
                        live.push_back(std::stoll(message.text->substr(13)));
                    }
                }
            }
            std::sort(live.begin(), live.end());
            const bool whole = conversations.size() == baseline.size() && !live.empty() &&
                               live.back() - live.front() + 1 == static_cast<std::int64_t>(live.size()) &&
                               static_cast<std::int64_t>(live.size()) == std::min(live.back(), kKeptLiveMessages) &&
                               messageTotal(conversations) == baselineMessages + live.size();
            if (!whole && loads.torn == 0) {
                std::cout << "torn load: " << conversations.size() << " chats, " << live.size() << " live messages "
                          << (live.empty() ? 0 : live.front()) << "..." << (live.empty() ? 0 : live.back()) << "\n";
            }
            ++(whole ? loads.consistent : loads.torn);
        } catch (const DatabaseError& error) {
            if (!isClearRefusal(error)) {
                std::cout << "failed load: " << error.description() << "\n";
            }
            ++(isClearRefusal(error) ? loads.refused : loads.torn);
        }
    }
    std::cout << "loads beside a rollback-mode writer: " << loads << ", " << inPlace << " read in place" << std::endl;
    EXPECT_EQ(loads.torn, 0) << loads;
    EXPECT_GT(inPlace, 0);
}
