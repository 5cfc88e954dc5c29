// Loading a Messages database of 1,000,000 messages in 2,000 chats end to end (openDatabase), against the
// floor of the sqlite3 command-line tool running the same statements for every chat (its output to /dev/null).
// The two run interleaved (ours, floor, ours, floor...) so that other work on the machine hits both alike; the
// figures are medians with their minimum and maximum. The load runs once with its console lines going to
// /dev/null and once going to a pipe read by another process, as a terminal or a session journal reads them.
// Targets, in both runs: at least 500,000 messages per second, at most 1.2 times the floor, peak under 300 MiB.
// The load includes the private snapshot the store copies the user's file into first; that copy alone is
// measured against cp of the same file, also interleaved (target: at most 1.5 times cp).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using namespace qbbench;

namespace {

constexpr int kChats = 2000;
constexpr int kMessagesPerChat = 500;
constexpr double kMessages = static_cast<double>(kChats) * kMessagesPerChat;

const fs::path& benchFolder() {
    static const fs::path folder = [] {
        auto path = fs::temp_directory_path() / ("qb-bench-load-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

const fs::path& database() {
    static const fs::path file = [] {
        auto path = benchFolder() / "sms.db";
        // Half of the messages carry NULL text and an archived body, as on recent systems.
        qbtest::buildBulkMessagesDatabase(
            path, {.chats = kChats, .messagesPerChat = kMessagesPerChat, .encodeBody = [](std::string_view text) {
                       return qbtest::typedStreamAttributedString(std::string(text));
                   }});
        return path;
    }();
    return file;
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
fs::path floorScript() {
    const auto script = benchFolder() / "floor.sql";
    std::ofstream out(script);
    out << quillobrandt::queries::chatCount << ";\n" << quillobrandt::queries::chats << ";\n";
    for (int chat = kChats; chat >= 1; --chat) {
        out << withChatId(quillobrandt::queries::participants, chat)
            << withChatId(quillobrandt::queries::messageCount, chat)
            << withChatId(quillobrandt::queries::attachments, chat)
            << withChatId(quillobrandt::queries::messages, chat);
    }
    return script;
}

std::size_t loadOnce(const fs::path& file) {
    quillobrandt::DatabaseManager manager;
    const auto conversations = manager.openDatabase(file);
    std::size_t loaded = 0;
    for (const auto& conversation : conversations) {
        for (const auto& message : conversation.messages) {
            loaded += message.text ? 1 : 0;
        }
    }
    benchmark::DoNotOptimize(conversations.data());
    return loaded;
}

void BM_LoadAgainstSqlite3Floor(benchmark::State& state) {
    constexpr int kRounds = 5;
    const auto target = static_cast<StdoutTarget>(state.range(0));
    state.SetLabel(describe(target));
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("the sqlite3 command-line tool is not installed");
        return;
    }
    const auto& file = database();
    const std::string floorCommand =
        "sqlite3 -batch '" + file.string() + "' < '" + floorScript().string() + "' >/dev/null";
    std::vector<double> loadSeconds;
    std::vector<double> floorSeconds;
    std::vector<double> ratios;
    std::vector<double> rates;
    double peak = 0;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            std::size_t loaded = 0;
            {
                RedirectedStdout redirected(target);
                resetPeakMemory();
                const auto start = std::chrono::steady_clock::now();
                loaded = loadOnce(file);
                loadSeconds.push_back(secondsSince(start));
                peak = std::max(peak, peakMemoryMiB());
            }
            if (loaded != static_cast<std::size_t>(kMessages)) {
                state.SkipWithError("not every message was loaded with its text");
                return;
            }
            const auto start = std::chrono::steady_clock::now();
            if (std::system(floorCommand.c_str()) != 0) {
                state.SkipWithError("sqlite3 failed");
                return;
            }
            floorSeconds.push_back(secondsSince(start));
            ratios.push_back(loadSeconds.back() / floorSeconds.back());
            rates.push_back(kMessages / loadSeconds.back());
        }
    }
    addSpread(state, "load_s", loadSeconds);
    addSpread(state, "floor_s", floorSeconds);
    addSpread(state, "ratio_to_floor", ratios);
    addSpread(state, "messages_per_second", rates);
    state.counters["peak_MiB"] = peak;
}
BENCHMARK(BM_LoadAgainstSqlite3Floor)
    ->Arg(static_cast<int>(StdoutTarget::devNull))
    ->Arg(static_cast<int>(StdoutTarget::pipe))
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_SnapshotAgainstCp(benchmark::State& state) {
    constexpr int kRounds = 5;
    const auto& file = database();
    // cp into a fresh folder beside the database and removed again, as a snapshot is when dropped.
    const auto target = benchFolder() / "cp-copy";
    const std::string cpCommand = "mkdir '" + target.string() + "' && cp '" + file.string() + "' '" +
                                  target.string() + "/' && rm -r '" + target.string() + "'";
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
