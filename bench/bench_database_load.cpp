// Loading a Messages database of 1,000,000 messages end to end (openDatabase) as the user meets it: every round is
// a fresh process (database_loader, spawned as the terminal drainer is), timed from its start to its exit, with the
// system's accounting of it (processor time, page faults, peak memory). Against two floors, each a process too:
// - the sqlite3 command-line tool running the reader's statements for every chat (its output to /dev/null);
// - SQLite itself: the same statements prepared once and rebound per chat, every column read, nothing printed
//   (database_loader floor): what any reader of this schema must pay.
// Two shapes: 2,000 chats of 500 messages and 50,000 chats of 20 (the per-chat cost shows in the second).
// Rounds are interleaved (ours, floor, ours, floor...) after one uncounted pair, so that other work on the machine
// hits both alike; figures are medians with their minimum and maximum. The load's console lines go to /dev/null, to
// a pipe read by another process (a session journal) and to a pseudo-terminal drained by another process (a program
// started from a shell); each round starts with a fresh heap, so the cases give the same result in any order.
// Targets: at most 1.1 times the sqlite3 floor for every stdout target; at most 1.3 times SQLite itself on both
// shapes, with page faults within 2 times its own; peak memory under 200 MiB at 1,000,000 messages and growing
// linearly (BM_PeakMemory). The databases are in rollback-journal mode with nothing beside them, so the store reads
// them where they lie. A copy in WAL mode goes through the private snapshot first: its load is measured against
// SQLite itself plus cp of the file (target: at most 1.3 times), and the snapshot alone against cp, interleaved
// (target: at most 1.5 times cp). BM_FirstAgainstWarm loads five times in one process with the heap trimmed between
// loads, as after Back: the first load against the later ones (target: a reload no slower than the first).
// To time one process by hand: `database_loader make DIR/sms.db 2000 500` writes a database and DIR/floor.sql;
// `database_loader load DIR/sms.db RESULTS` and `database_loader floor DIR/sms.db RESULTS` are the two processes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseSnapshot.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using namespace qbbench;

namespace {

constexpr int kRounds = 5;

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

// The loader is built beside this program.
const fs::path& loaderProgram() {
    static const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "database_loader";
    return program;
}

// One finished process, as the system accounted it.
struct ProcessRun {
    bool succeeded = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
    double minorFaults = 0;
};

// Runs `arguments` to its end. Standard input comes from `input` (else /dev/null); standard output goes where this
// process's goes unless `quiet` sends it to /dev/null; standard error to /dev/null.
ProcessRun runProcess(const std::vector<std::string>& arguments, const std::optional<fs::path>& input = {},
                      bool quiet = false) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input ? input->c_str() : "/dev/null", O_RDONLY, 0);
    if (quiet) {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::fflush(stdout);
    ProcessRun run;
    pid_t child = -1;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return run;
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child) {
        return run;
    }
    run.wallSeconds = secondsSince(start);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.minorFaults = static_cast<double>(usage.ru_minflt);
    run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// One database per shape and journal mode, built on first use by the loader (half of the messages with NULL text
// and an archived body, as on recent systems), with the sqlite3 script beside it.
const fs::path& database(const Shape& shape, bool wal = false) {
    static std::map<std::tuple<int, int, bool>, fs::path> built;
    auto& path = built[{shape.chats, shape.messagesPerChat, wal}];
    if (path.empty()) {
        const auto file =
            benchFolder() /
            (std::to_string(shape.chats) + "x" + std::to_string(shape.messagesPerChat) + (wal ? "-wal" : "")) /
            "sms.db";
        fs::create_directories(file.parent_path());
        std::vector<std::string> make{loaderProgram().string(), "make", file.string(), std::to_string(shape.chats),
                                      std::to_string(shape.messagesPerChat)};
        if (wal) {
            make.emplace_back("wal");
        }
        if (!runProcess(make, {}, true).succeeded) {
            throw std::runtime_error("cannot build " + file.string());
        }
        path = file;
    }
    return path;
}

// The loader's result lines ("load <s> <free s> <with text>" or "floor <s> <bytes>"), as words.
std::vector<std::vector<std::string>> resultLines(const fs::path& file) {
    std::vector<std::vector<std::string>> lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        auto& fields = lines.emplace_back();
        for (std::string word; words >> word;) {
            fields.push_back(word);
        }
    }
    return lines;
}

// A fresh process loading `file` `loads` times; its load lines in `loads`' order.
struct LoaderRun {
    ProcessRun process;
    std::vector<double> loadSeconds;
    std::vector<double> freeSeconds;
    bool everyTextLoaded = true;
};

LoaderRun runLoader(const fs::path& file, std::size_t messages, StdoutTarget target, int loads = 1) {
    const auto results = benchFolder() / "results.txt";
    LoaderRun run;
    {
        RedirectedStdout redirected(target);
        run.process =
            runProcess({loaderProgram().string(), "load", file.string(), results.string(), std::to_string(loads)});
    }
    for (const auto& fields : resultLines(results)) {
        if (fields.size() == 4 && fields[0] == "load") {
            run.loadSeconds.push_back(std::stod(fields[1]));
            run.freeSeconds.push_back(std::stod(fields[2]));
            run.everyTextLoaded = run.everyTextLoaded && std::stoull(fields[3]) == messages;
        }
    }
    run.process.succeeded = run.process.succeeded && static_cast<int>(run.loadSeconds.size()) == loads;
    return run;
}

ProcessRun runFloor(const fs::path& file) {
    return runProcess({loaderProgram().string(), "floor", file.string(), (benchFolder() / "floor.txt").string()});
}

// cp into a fresh folder beside the database, removed again, as a snapshot is when dropped.
ProcessRun runCp(const fs::path& file) {
    const auto target = benchFolder() / "cp-copy";
    fs::create_directories(target);
    const auto run = runProcess({"cp", file.string(), target.string() + "/"});
    fs::remove_all(target);
    return run;
}

struct Figures {
    std::vector<double> process, load, floor, ratio, peak, faults, floorFaults, faultRatio, rate;

    void add(const LoaderRun& ours, const ProcessRun& floorRun, std::size_t messages) {
        process.push_back(ours.process.wallSeconds);
        load.push_back(ours.loadSeconds.front());
        floor.push_back(floorRun.wallSeconds);
        ratio.push_back(ours.process.wallSeconds / floorRun.wallSeconds);
        peak.push_back(ours.process.peakMiB);
        faults.push_back(ours.process.minorFaults);
        floorFaults.push_back(floorRun.minorFaults);
        faultRatio.push_back(ours.process.minorFaults / std::max(floorRun.minorFaults, 1.0));
        rate.push_back(static_cast<double>(messages) / ours.process.wallSeconds);
    }
    void report(benchmark::State& state, const std::string& floorName) const {
        addSpread(state, "process_s", process);
        addSpread(state, "load_s", load);
        addSpread(state, floorName + "_s", floor);
        addSpread(state, "ratio_to_" + floorName, ratio);
        addSpread(state, "peak_MiB", peak);
        addSpread(state, "page_faults", faults);
        addSpread(state, floorName + "_page_faults", floorFaults);
        addSpread(state, "page_faults_to_" + floorName, faultRatio);
        addSpread(state, "messages_per_second", rate);
    }
};

// Rounds of a fresh loading process interleaved with a floor process; `floor` gives the floor's run (its wall time
// may add several processes), not succeeded when it failed. The first pair only warms the files' pages.
template <typename Floor>
void loadAgainstFloor(benchmark::State& state, const fs::path& file, const Shape& shape, StdoutTarget target,
                      const std::string& floorName, Floor&& floor) {
    Figures figures;
    for (auto _ : state) {
        for (int round = -1; round < kRounds; ++round) {
            const auto ours = runLoader(file, shape.messages(), target);
            if (!ours.process.succeeded || !ours.everyTextLoaded) {
                state.SkipWithError("the load failed, or not every message was loaded with its text");
                return;
            }
            const ProcessRun floorRun = floor();
            if (!floorRun.succeeded) {
                state.SkipWithError("the floor failed");
                return;
            }
            if (round >= 0) {
                figures.add(ours, floorRun, shape.messages());
            }
        }
    }
    figures.report(state, floorName);
}

void BM_LoadAgainstSqlite3Floor(benchmark::State& state) {
    const auto target = static_cast<StdoutTarget>(state.range(0));
    state.SetLabel(std::string(describe(target)) + ", " + kBigChats.name() + ", fresh processes");
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("the sqlite3 command-line tool is not installed");
        return;
    }
    const auto& file = database(kBigChats);
    const auto script = file.parent_path() / "floor.sql";
    loadAgainstFloor(state, file, kBigChats, target, "cli", [&] {
        return runProcess({"sqlite3", "-batch", file.string()}, script, true);
    });
}
BENCHMARK(BM_LoadAgainstSqlite3Floor)
    ->Arg(static_cast<int>(StdoutTarget::devNull))
    ->Arg(static_cast<int>(StdoutTarget::pipe))
    ->Arg(static_cast<int>(StdoutTarget::terminal))
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// 0: 2,000 chats of 500, 1: 50,000 chats of 20, both read where they lie; 2: 2,000 chats of 500 in WAL mode, read
// through a snapshot, against SQLite itself reading the file plus cp of it.
void BM_LoadAgainstInProcessFloor(benchmark::State& state) {
    const Shape shape = state.range(0) == 1 ? kSmallChats : kBigChats;
    const bool wal = state.range(0) == 2;
    state.SetLabel(std::string(describe(StdoutTarget::devNull)) + ", " + shape.name() +
                   (wal ? ", WAL mode (snapshot), floor plus cp" : "") + ", fresh processes");
    const auto& file = database(shape, wal);
    loadAgainstFloor(state, file, shape, StdoutTarget::devNull, "floor", [&] {
        ProcessRun run = runFloor(file);
        if (wal && run.succeeded) {
            const ProcessRun cp = runCp(file);
            run.succeeded = cp.succeeded;
            run.wallSeconds += cp.wallSeconds;
            run.cpuSeconds += cp.cpuSeconds;
            run.minorFaults += cp.minorFaults;
        }
        return run;
    });
}
BENCHMARK(BM_LoadAgainstInProcessFloor)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Five loads in one process with the history freed and the heap trimmed between them, as after Back: the first
// (what starting the program meets) against the later ones.
void BM_FirstAgainstWarm(benchmark::State& state) {
    constexpr int kLoads = 5;
    state.SetLabel(std::string(describe(StdoutTarget::devNull)) + ", " + kBigChats.name() + ", " +
                   std::to_string(kLoads) + " loads per process");
    const auto& file = database(kBigChats);
    std::vector<double> first, later, ratio, freeing;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            const auto run = runLoader(file, kBigChats.messages(), StdoutTarget::devNull, kLoads);
            if (!run.process.succeeded || !run.everyTextLoaded) {
                state.SkipWithError("the load failed, or not every message was loaded with its text");
                return;
            }
            first.push_back(run.loadSeconds.front());
            const std::vector<double> reloads(run.loadSeconds.begin() + 1, run.loadSeconds.end());
            later.push_back(spreadOf(reloads).median);
            ratio.push_back(later.back() / first.back());
            freeing.insert(freeing.end(), run.freeSeconds.begin() + 1, run.freeSeconds.end());
        }
    }
    addSpread(state, "first_load_s", first);
    addSpread(state, "reload_s", later);
    addSpread(state, "reload_to_first", ratio);
    addSpread(state, "free_s", freeing);
}
BENCHMARK(BM_FirstAgainstWarm)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Peak memory of one load by history size, in a fresh process, to see that it grows linearly (and stays under
// 200 MiB at 1,000,000).
void BM_PeakMemory(benchmark::State& state) {
    const Shape shape{static_cast<int>(state.range(0)), 500};
    state.SetLabel(std::to_string(shape.messages()) + " messages");
    const auto& file = database(shape);
    LoaderRun run;
    for (auto _ : state) {
        run = runLoader(file, shape.messages(), StdoutTarget::devNull);
        if (!run.process.succeeded || !run.everyTextLoaded) {
            state.SkipWithError("the load failed, or not every message was loaded with its text");
            return;
        }
    }
    state.counters["process_s"] = run.process.wallSeconds;
    state.counters["peak_MiB"] = run.process.peakMiB;
    state.counters["peak_MiB_per_million"] = run.process.peakMiB / (static_cast<double>(shape.messages()) / 1e6);
    if (shape.messages() > kBigChats.messages()) {
        // The largest history is only needed here; its 1.6 GB go at once.
        std::error_code ignored;
        fs::remove_all(file.parent_path(), ignored);
    }
}
BENCHMARK(BM_PeakMemory)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_SnapshotAgainstCp(benchmark::State& state) {
    const auto& file = database(kBigChats, true); // the databases that are copied
    std::vector<double> snapshotSeconds;
    std::vector<double> cpSeconds;
    std::vector<double> ratios;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            quillobrandt::DatabaseSnapshot::take(file).reset();
            snapshotSeconds.push_back(secondsSince(start));
            const auto cp = runCp(file);
            if (!cp.succeeded) {
                state.SkipWithError("cp failed");
                return;
            }
            cpSeconds.push_back(cp.wallSeconds);
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
