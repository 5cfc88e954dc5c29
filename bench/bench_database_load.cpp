// Loading a Messages database of 1,000,000 messages end to end (openDatabase), against two floors:
// - the sqlite3 command-line tool running the reader's statements for every chat (its output to /dev/null);
// - SQLite in this process running the same statements prepared once and rebound per chat, every column read,
//   nothing printed: what any reader of this schema must pay.
// Two shapes: 2,000 chats of 500 messages and 50,000 chats of 20 (the per-chat cost shows in the second).
// Runs are interleaved (ours, floor, ours, floor...) so that other work on the machine hits both alike; figures
// are medians with their minimum and maximum. The load's console lines go to /dev/null, to a pipe read by another
// process (a session journal) and to a pseudo-terminal drained by another process (a program started from a
// shell). Targets: at most 1.1 times the sqlite3 floor for every stdout target; at most 1.3 times the in-process
// floor on both shapes; peak memory under 200 MiB at 1,000,000 messages and growing linearly (BM_PeakMemory).
// The benchmark's databases are in rollback-journal mode with nothing beside them, so the store reads them where
// they lie. A copy in WAL mode goes through the private snapshot first: its load is measured against the same
// in-process floor, and the snapshot alone against cp of the same file, also interleaved (target: at most 1.5
// times cp). A load is timed until its conversations are in hand; freeing them is reported apart (free_s): a
// history is freed when the next one replaces it, not as part of its load.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "platform/core/Sqlite.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using namespace qbbench;

namespace {

struct Shape {
    int chats;
    int messagesPerChat;
    std::size_t messages() const { return static_cast<std::size_t>(chats) * static_cast<std::size_t>(messagesPerChat); }
    std::string name() const { return std::to_string(chats) + " chats of " + std::to_string(messagesPerChat); }
};

constexpr Shape kBigChats{2000, 500};
constexpr Shape kSmallChats{50000, 20};

const fs::path& benchFolder() {
    static const fs::path folder = [] {
        auto path = fs::temp_directory_path() / ("qb-bench-load-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

// One database per shape, built on first use. Half of the messages carry NULL text and an archived body, as on
// recent systems.
std::map<std::tuple<int, int, bool>, fs::path>& builtDatabases() {
    static std::map<std::tuple<int, int, bool>, fs::path> built;
    return built;
}

const fs::path& database(const Shape& shape, qbtest::JournalMode journal = qbtest::JournalMode::rollback) {
    const bool wal = journal == qbtest::JournalMode::wal;
    auto& path = builtDatabases()[{shape.chats, shape.messagesPerChat, wal}];
    if (path.empty()) {
        path = benchFolder() /
               (std::to_string(shape.chats) + "x" + std::to_string(shape.messagesPerChat) + (wal ? "-wal" : "")) /
               "sms.db";
        fs::create_directories(path.parent_path());
        qbtest::buildBulkMessagesDatabase(path, {.chats = shape.chats,
                                                 .messagesPerChat = shape.messagesPerChat,
                                                 .journal = journal,
                                                 .encodeBody = [](std::string_view text) {
                                                     return qbtest::typedStreamAttributedString(std::string(text));
                                                 }});
    }
    return path;
}

std::string withChatId(std::string_view statement, int chatId) {
    std::string sql(statement);
    const auto mark = sql.find('?');
    if (mark != std::string::npos) {
        sql.replace(mark, 1, std::to_string(chatId));
    }
    return sql + ";\n";
}

// The reader's statements for every chat, in the order it runs them.
fs::path floorScript(const Shape& shape) {
    const auto script = database(shape).parent_path() / "floor.sql";
    std::ofstream out(script);
    out << quillobrandt::queries::chatCount << ";\n" << quillobrandt::queries::chats << ";\n";
    for (int chat = shape.chats; chat >= 1; --chat) {
        out << withChatId(quillobrandt::queries::participants, chat)
            << withChatId(quillobrandt::queries::messageCount, chat)
            << withChatId(quillobrandt::queries::attachments, chat)
            << withChatId(quillobrandt::queries::messages, chat);
    }
    return script;
}

// Steps a statement to its end and touches every column of every row, as a reader that builds values would.
std::size_t drain(platform::SqliteStatement& statement) {
    std::size_t bytes = 0;
    while (statement.next()) {
        for (int column = 0, count = statement.columnCount(); column < count; ++column) {
            switch (statement.columnType(column)) {
            case SQLITE_INTEGER:
                bytes += static_cast<std::size_t>(statement.columnInt64(column) & 1);
                break;
            case SQLITE_FLOAT:
                bytes += statement.columnDouble(column) > 0 ? 1 : 0;
                break;
            case SQLITE_TEXT:
                bytes += statement.columnTextView(column)->size();
                break;
            case SQLITE_BLOB:
                bytes += statement.columnBlobView(column)->size();
                break;
            default:
                break;
            }
        }
    }
    statement.reset();
    return bytes;
}

// The in-process floor: the reader's statements prepared once, rebound for every chat, every column read.
std::size_t inProcessFloor(const fs::path& file) {
    using quillobrandt::queries::attachments, quillobrandt::queries::chats, quillobrandt::queries::chatCount,
        quillobrandt::queries::messageCount, quillobrandt::queries::messages, quillobrandt::queries::participants;
    const auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
    auto count = db.prepare(chatCount);
    std::size_t bytes = drain(count);
    auto perChat =
        std::array{db.prepare(participants), db.prepare(messageCount), db.prepare(attachments), db.prepare(messages)};
    auto chatRows = db.prepare(chats);
    while (chatRows.next()) {
        const auto chatId = chatRows.columnInt64(0);
        bytes += chatRows.columnTextView(1).value_or("").size();
        bytes += chatRows.columnTextView(3).value_or("").size();
        for (auto& statement : perChat) {
            statement.bindInt64(1, chatId);
            bytes += drain(statement);
        }
    }
    return bytes;
}

struct Loaded {
    std::size_t withText = 0; // messages loaded with their text
    double seconds = 0;       // from the call until the conversations are in hand (the manager gone, as in the app)
    double freeSeconds = 0;   // freeing them afterwards
};

Loaded loadOnce(const fs::path& file) {
    Loaded loaded;
    const auto start = std::chrono::steady_clock::now();
    std::vector<quillobrandt::Conversation> conversations = quillobrandt::DatabaseManager().openDatabase(file);
    loaded.seconds = secondsSince(start);
    for (const auto& conversation : conversations) {
        for (const auto& message : conversation.messages) {
            loaded.withText += message.text ? 1 : 0;
        }
    }
    benchmark::DoNotOptimize(conversations.data());
    const auto freeing = std::chrono::steady_clock::now();
    conversations = {};
    loaded.freeSeconds = secondsSince(freeing);
    return loaded;
}

// Rounds of our load interleaved with one floor; `floor` returns false when it failed.
template <typename Floor>
void loadAgainstFloor(benchmark::State& state, const Shape& shape, StdoutTarget target, Floor&& floor,
                      qbtest::JournalMode journal = qbtest::JournalMode::rollback) {
    constexpr int kRounds = 5;
    const auto& file = database(shape, journal);
    std::vector<double> loadSeconds;
    std::vector<double> freeSeconds;
    std::vector<double> floorSeconds;
    std::vector<double> ratios;
    std::vector<double> rates;
    double peak = 0;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            Loaded loaded;
            {
                RedirectedStdout redirected(target);
                resetPeakMemory();
                loaded = loadOnce(file);
                loadSeconds.push_back(loaded.seconds);
                freeSeconds.push_back(loaded.freeSeconds);
                peak = std::max(peak, peakMemoryMiB());
            }
            if (loaded.withText != shape.messages()) {
                state.SkipWithError("not every message was loaded with its text");
                return;
            }
            const auto start = std::chrono::steady_clock::now();
            if (!floor(file)) {
                state.SkipWithError("the floor failed");
                return;
            }
            floorSeconds.push_back(secondsSince(start));
            ratios.push_back(loadSeconds.back() / floorSeconds.back());
            rates.push_back(static_cast<double>(shape.messages()) / loadSeconds.back());
        }
    }
    addSpread(state, "load_s", loadSeconds);
    addSpread(state, "free_s", freeSeconds);
    addSpread(state, "floor_s", floorSeconds);
    addSpread(state, "ratio_to_floor", ratios);
    addSpread(state, "messages_per_second", rates);
    state.counters["peak_MiB"] = peak;
}

void BM_LoadAgainstSqlite3Floor(benchmark::State& state) {
    const auto target = static_cast<StdoutTarget>(state.range(0));
    state.SetLabel(std::string(describe(target)) + ", " + kBigChats.name());
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("the sqlite3 command-line tool is not installed");
        return;
    }
    const std::string command =
        "sqlite3 -batch '" + database(kBigChats).string() + "' < '" + floorScript(kBigChats).string() + "' >/dev/null";
    loadAgainstFloor(state, kBigChats, target, [&](const fs::path&) { return std::system(command.c_str()) == 0; });
}
BENCHMARK(BM_LoadAgainstSqlite3Floor)
    ->Arg(static_cast<int>(StdoutTarget::devNull))
    ->Arg(static_cast<int>(StdoutTarget::pipe))
    ->Arg(static_cast<int>(StdoutTarget::terminal))
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// 0: 2,000 chats of 500, 1: 50,000 chats of 20, both read where they lie; 2: 2,000 chats of 500 in WAL mode, read
// through a snapshot (the floor reads the file itself).
void BM_LoadAgainstInProcessFloor(benchmark::State& state) {
    const Shape shape = state.range(0) == 1 ? kSmallChats : kBigChats;
    const auto journal = state.range(0) == 2 ? qbtest::JournalMode::wal : qbtest::JournalMode::rollback;
    state.SetLabel(std::string(describe(StdoutTarget::devNull)) + ", " + shape.name() +
                   (state.range(0) == 2 ? ", WAL mode (snapshot)" : ""));
    loadAgainstFloor(
        state, shape, StdoutTarget::devNull,
        [](const fs::path& file) {
            benchmark::DoNotOptimize(inProcessFloor(file));
            return true;
        },
        journal);
}
BENCHMARK(BM_LoadAgainstInProcessFloor)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Peak memory of one load by history size, to see that it grows linearly (and stays under 200 MiB at 1,000,000).
void BM_PeakMemory(benchmark::State& state) {
    const Shape shape{static_cast<int>(state.range(0)), 500};
    state.SetLabel(std::to_string(shape.messages()) + " messages");
    const auto& file = database(shape);
    double peak = 0;
    double seconds = 0;
    for (auto _ : state) {
        RedirectedStdout redirected(StdoutTarget::devNull);
        resetPeakMemory();
        const auto loaded = loadOnce(file);
        if (loaded.withText != shape.messages()) {
            state.SkipWithError("not every message was loaded with its text");
            return;
        }
        seconds = loaded.seconds;
        peak = peakMemoryMiB();
    }
    state.counters["load_s"] = seconds;
    state.counters["peak_MiB"] = peak;
    state.counters["peak_MiB_per_million"] = peak / (static_cast<double>(shape.messages()) / 1e6);
    if (shape.messages() > kBigChats.messages()) {
        // The largest history is only needed here; its 1.6 GB go at once.
        std::error_code ignored;
        fs::remove_all(file.parent_path(), ignored);
        builtDatabases().erase({shape.chats, shape.messagesPerChat, false});
    }
}
BENCHMARK(BM_PeakMemory)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_SnapshotAgainstCp(benchmark::State& state) {
    constexpr int kRounds = 5;
    const auto& file = database(kBigChats, qbtest::JournalMode::wal); // the databases that are copied
    // cp into a fresh folder beside the database and removed again, as a snapshot is when dropped.
    const auto target = benchFolder() / "cp-copy";
    const std::string cpCommand = "mkdir '" + target.string() + "' && cp '" + file.string() + "' '" + target.string() +
                                  "/' && rm -r '" + target.string() + "'";
    std::vector<double> snapshotSeconds;
    std::vector<double> cpSeconds;
    std::vector<double> ratios;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            auto start = std::chrono::steady_clock::now();
            quillobrandt::DatabaseSnapshot::take(file).reset();
            snapshotSeconds.push_back(secondsSince(start));
            start = std::chrono::steady_clock::now();
            if (std::system(cpCommand.c_str()) != 0) {
                state.SkipWithError("cp failed");
                return;
            }
            cpSeconds.push_back(secondsSince(start));
            ratios.push_back(snapshotSeconds.back() / cpSeconds.back());
        }
    }
    addSpread(state, "snapshot_s", snapshotSeconds);
    addSpread(state, "cp_s", cpSeconds);
    addSpread(state, "ratio_to_cp", ratios);
    state.counters["database_MiB"] = static_cast<double>(fs::file_size(file)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_SnapshotAgainstCp)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(benchFolder(), ignored);
    return 0;
}
