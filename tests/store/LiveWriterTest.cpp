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
#include "tests/store/LiveWriter.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using quillobrandt::DatabaseSnapshot;

namespace {

// How many chats the fixture has.
constexpr std::int64_t kChats = 7;
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

    const storetest::LiveWriter writer(file, std::stoll(baseline.front().id));
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

    const storetest::LiveWriter writer(file, chatId, "PRAGMA locking_mode=EXCLUSIVE;");
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

// A writer in rollback-journal mode, as older programs keep their databases, committing every few milliseconds (its
// journal beside the file from each first change to each commit): a load reads the file where it lies once it holds
// the file's shared lock, and a snapshot or an edited copy is copied under that lock; the writer waits meanwhile.
// Each shows one committed state, or a clear refusal.
TEST(LiveWriter, ARollbackModeWriterLeavesEveryLoadAndCopyWholeOrRefused) {
    const auto folder = qbtest::IsolatedHome::root() / "Messages";
    fs::create_directories(folder);
    const auto file = folder / "sms.db";
    fs::copy_file(qbtest::copySharedTestData("ios-sms.db"), file);
    const auto baseline = DatabaseManager().openDatabase(file);

    const storetest::LiveWriter writer(file, std::stoll(baseline.front().id), "", "DELETE", 2000);
    Tally loads;
    int inPlace = 0;
    for (int i = 0; i < 100; ++i) {
        try {
            DatabaseManager manager;
            const auto conversations = manager.openDatabase(file);
            inPlace += manager.snapshot() == nullptr ? 1 : 0;
            const auto live = storetest::liveRun(conversations);
            const bool whole = storetest::isOneCommittedState(live, conversations, baseline);
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
    Tally copies;
    const auto target = qbtest::IsolatedHome::root() / "edited.db";
    for (int i = 0; i < 40; ++i) {
        try {
            if (i % 2 == 0) {
                ++(consistent(countsOf(DatabaseSnapshot::take(file)->file())) ? copies.consistent : copies.torn);
            } else {
                DatabaseManager::saveEditedCopy(file, target, {});
                ++(consistent(countsOf(target)) ? copies.consistent : copies.torn);
            }
        } catch (const DatabaseError& error) {
            ++(isClearRefusal(error) ? copies.refused : copies.torn);
        }
    }
    std::cout << "loads beside a rollback-mode writer: " << loads << ", " << inPlace << " read in place\n"
              << "snapshots and edited copies: " << copies << std::endl;
    EXPECT_EQ(loads.torn, 0) << loads;
    EXPECT_EQ(copies.torn, 0) << copies;
    EXPECT_GT(inPlace, 0);
    EXPECT_GT(copies.consistent, 0);
}
