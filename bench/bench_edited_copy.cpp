// Save Copy of a database someone crafted: its delete trigger computes without end (a recursive query), writing
// nothing that a size limit would catch. Timed from the call, as the user waits for it, on databases of 10,000 and
// 1,000,000 messages (the real schema, with its triggers and indexes):
// - until the copy's work budget refuses the save (budget_s; the copy of the source before the delete comes first,
//   copy_s is the part of it spent before the trigger runs);
// - from the user's stop, given once the trigger runs, until the save has ended (stop_s).
// Each run also says what lies beside the destination afterwards (left_beside: the number of names there besides
// the source), and a save killed in the middle leaves what the next start then removes (left_after_restart).
// Target: the budget refuses within seconds on either size, the stop within a tenth of a second, and nothing stays.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/EditedCopyWriter.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "platform/core/Sqlite.h"
#include "tests/support/MessagesDatabaseBuilder.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using namespace qbbench;

namespace {

// The user's folder with one crafted database of `messages` messages, built once per size.
fs::path craftedDatabase(int messages) {
    const fs::path folder = isolatedBenchRoot("qb-bench-edited-copy") / ("documents-" + std::to_string(messages));
    const fs::path source = folder / "chat.db";
    if (!fs::exists(source)) {
        fs::create_directories(folder);
        qbtest::buildBulkMessagesDatabase(source, {.chats = messages / 500, .messagesPerChat = 500});
        platform::SqliteDatabase::open(source, SQLITE_OPEN_READWRITE)
            .exec("CREATE TRIGGER spin AFTER DELETE ON message BEGIN SELECT count(*) FROM (WITH RECURSIVE n(i) AS "
                  "(SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n); END");
    }
    return source;
}

// Names in the source's folder besides the source itself.
double leftBeside(const fs::path& source) {
    double count = 0;
    for (const auto& entry : fs::directory_iterator(source.parent_path())) {
        count += entry.path() != source ? 1 : 0;
    }
    return count;
}

bool partialCopyExists(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().find(".partial") != std::string::npos) {
            return true;
        }
    }
    return false;
}

void BM_EndlessTriggerRefusedByItsBudget(benchmark::State& state) {
    const fs::path source = craftedDatabase(static_cast<int>(state.range(0)));
    const fs::path target = source.parent_path() / "edited.db";
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        const auto started = std::chrono::steady_clock::now();
        double copied = 0;
        std::string error = "saved";
        try {
            // Asked every few thousand steps: the moment the trigger runs is when the partial copy is complete.
            bool seen = false;
            quillobrandt::writeEditedCopy(source, target, {1}, nullptr, [&] {
                if (!seen && partialCopyExists(source.parent_path())) {
                    seen = true;
                    copied = secondsSince(started);
                }
                return false;
            });
        } catch (const quillobrandt::DatabaseError& refused) {
            error = refused.description();
        }
        state.counters["budget_s"] = secondsSince(started);
        state.counters["copy_s"] = copied;
        state.counters["left_beside"] = leftBeside(source);
        state.SetLabel(error);
    }
}
BENCHMARK(BM_EndlessTriggerRefusedByItsBudget)
    ->Arg(10'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_EndlessTriggerEndedByTheStop(benchmark::State& state) {
    const fs::path source = craftedDatabase(static_cast<int>(state.range(0)));
    const fs::path target = source.parent_path() / "edited.db";
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        std::atomic<bool> computing{false};
        std::atomic<bool> stop{false};
        std::chrono::steady_clock::time_point stopped;
        std::thread user([&] {
            // The user stops the save a second after the trigger began computing, well before its budget is spent.
            while (!computing) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            stopped = std::chrono::steady_clock::now();
            stop = true;
        });
        std::string outcome = "saved";
        try {
            // Asked every few thousand steps; with the partial copy complete, it is the trigger that runs.
            quillobrandt::writeEditedCopy(source, target, {1}, nullptr, [&] {
                if (!computing && partialCopyExists(source.parent_path())) {
                    computing = true;
                }
                return stop.load();
            });
        } catch (const quillobrandt::DatabaseError& refused) {
            outcome = refused == quillobrandt::DatabaseError::stopped() ? "stopped" : refused.description();
        }
        const auto ended = std::chrono::steady_clock::now();
        computing = true; // a save that ended before the trigger ran lets the user's thread go
        user.join();
        state.counters["stop_s"] = std::chrono::duration<double>(ended - stopped).count();
        state.counters["left_beside"] = leftBeside(source);
        state.SetLabel(outcome);
    }
}
BENCHMARK(BM_EndlessTriggerEndedByTheStop)->Arg(1'000'000)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_KilledSaveClearedAtTheNextStart(benchmark::State& state) {
    const fs::path source = craftedDatabase(10'000);
    const fs::path target = source.parent_path() / "edited.db";
    for (auto _ : state) {
        const pid_t child = ::fork();
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout);
            quillobrandt::writeEditedCopy(source, target, {1}, nullptr, [] { return false; });
            ::_exit(0);
        }
        while (!partialCopyExists(source.parent_path())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        state.counters["left_after_kill"] = leftBeside(source);
        const auto started = std::chrono::steady_clock::now();
        const auto lock = quillobrandt::WorkingFilesLock::acquireAndSweep();
        state.counters["sweep_s"] = secondsSince(started);
        state.counters["left_after_restart"] = leftBeside(source);
    }
}
BENCHMARK(BM_KilledSaveClearedAtTheNextStart)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
