// What the SDK costs the thread that calls it (the GUI thread in the program), with the disk as it is and with a
// slow one: run it once plainly and once with LD_PRELOAD=build/bench/libslow_fsync.so (every fsync 50 ms late).
// Target: initialize(), track() after start() and captureError() wait for no fsync, so the slow disk adds nothing
// like its 50 ms to any of their figures, maxima included (track() runs one call every 2 ms for 11 s, across two
// stores of the session's last activity). track() before start() keeps its events in memory: the writer, once
// started, or the shutdown writes them. initialize() is also timed over an analytics queue at its 16 MiB budget
// left by an earlier run, and over a queue file of that size whose events were all delivered since (its journal
// drops them): what the caller waits for must not grow with either.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "Corvantesk/Corvantesk.h"
#include "Corvantesk/analytics/AnalyticsEvent.h"
#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/QueueJournal.h"
#include "bench/BenchSupport.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Uuid.h"

namespace {

using Clock = std::chrono::steady_clock;

// One SDK on settings and a storage folder of its own, for one measurement.
struct IsolatedSdk {
    IsolatedSdk()
        : root(makeRoot()), defaults(root / "defaults.json"), storage(defaults, root / "Corvantesk"),
          options(corvantesk::CorvanteskOptions::make("bench.app", "bench-key")) {
        options.baseUrl = "http://127.0.0.1:9"; // nothing listens: sends fail quietly on the SDK's own threads
        options.flushInterval = 3600;
        options.batchSize = 1000000;
        options.health.enableHeartbeat = false;
        environment.storage = &storage;
    }
    ~IsolatedSdk() {
        corvantesk::Corvantesk::shutdown(std::chrono::milliseconds(500));
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    static std::filesystem::path makeRoot() {
        static int count = 0;
        const auto root = qbbench::isolatedBenchRoot("bench-sdk-caller") / ("sdk-" + std::to_string(++count));
        std::filesystem::create_directories(root);
        return root;
    }
    void initialize() { corvantesk::Corvantesk::initialize(options, environment); }

    std::filesystem::path root;
    platform::UserDefaults defaults;
    corvantesk::Storage storage;
    corvantesk::CorvanteskOptions options;
    corvantesk::ClientEnvironment environment;
};

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void report(benchmark::State& state, std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) {
        return;
    }
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
}

// Runs `measure` on a fresh SDK at every iteration; the figures are the calls it times itself.
template <class Measure> void onFreshSdks(benchmark::State& state, Measure measure) {
    std::vector<double> micros;
    for (auto _ : state) {
        IsolatedSdk sdk;
        measure(sdk, micros);
    }
    report(state, micros);
}

// The launch: a fresh session is made and stored.
void BM_InitializeOnTheCaller(benchmark::State& state) {
    onFreshSdks(state, [](IsolatedSdk& sdk, std::vector<double>& micros) {
        const auto start = Clock::now();
        sdk.initialize();
        micros.push_back(microsSince(start));
    });
}
BENCHMARK(BM_InitializeOnTheCaller)->Iterations(15)->Unit(benchmark::kMillisecond);

// An analytics queue file left at the queue's byte budget, as a long time offline leaves it; with `delivered`,
// followed by a journal that drops every event (all sent since, the file not written anew).
void leaveFullQueue(IsolatedSdk& sdk, bool delivered) {
    auto event = corvantesk::AnalyticsEvent::make("conversation_opened", "9F1D2C3B-4A5B-4C6D-8E7F-001122334455");
    event.category = "scaling";
    event.screen = "ConversationDisplayView";
    event.properties = corvantesk::AnyMap{{"messageCount", 1234}, {"hasAttachments", true}};
    nlohmann::json events = nlohmann::json::array();
    std::size_t bytes = 0;
    while (bytes < corvantesk::EventQueue<corvantesk::AnalyticsEvent>::kMaxQueueBytes - 4096) {
        event.id = platform::makeUuidString();
        events.push_back(nlohmann::json(event));
        bytes += events.back().dump().size() + 1;
    }
    sdk.storage.saveOfflineJson(events, "analytics");
    if (delivered) {
        const auto text = platform::readFile(sdk.storage.offlineFilePath("analytics"));
        std::ofstream journal(sdk.storage.offlineJournalPath("analytics"), std::ios::binary);
        journal << corvantesk::queue_journal::header(text.value_or(""), 1)
                << corvantesk::queue_journal::dropRecord(0, events.size());
    }
}

void BM_InitializeOverAFullQueue(benchmark::State& state) {
    onFreshSdks(state, [&state](IsolatedSdk& sdk, std::vector<double>& micros) {
        state.PauseTiming();
        leaveFullQueue(sdk, state.range(0) != 0);
        state.ResumeTiming();
        const auto start = Clock::now();
        sdk.initialize();
        micros.push_back(microsSince(start));
    });
}
BENCHMARK(BM_InitializeOverAFullQueue)
    ->ArgName("delivered")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// The program's first events come before the SDK has started.
void BM_TrackBeforeStart(benchmark::State& state) {
    onFreshSdks(state, [](IsolatedSdk& sdk, std::vector<double>& micros) {
        sdk.initialize();
        for (int i = 0; i < 10; ++i) {
            const auto start = Clock::now();
            corvantesk::Corvantesk::track("app_launched", "lifecycle");
            micros.push_back(microsSince(start));
        }
    });
}
BENCHMARK(BM_TrackBeforeStart)->Iterations(3)->Unit(benchmark::kMillisecond);

// A started SDK under steady use: the session's last activity is stored every 5 s meanwhile.
void BM_TrackAfterStartForElevenSeconds(benchmark::State& state) {
    std::vector<double> micros;
    for (auto _ : state) {
        IsolatedSdk sdk;
        sdk.initialize();
        corvantesk::Corvantesk::start();
        const corvantesk::AnyMap properties{{"messageCount", 1234}, {"hasAttachments", true}};
        const auto end = Clock::now() + std::chrono::seconds(11);
        while (Clock::now() < end) {
            const auto start = Clock::now();
            corvantesk::Corvantesk::track("conversation_opened", "scaling", properties);
            micros.push_back(microsSince(start));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    report(state, micros);
}
BENCHMARK(BM_TrackAfterStartForElevenSeconds)->Iterations(1)->Unit(benchmark::kMillisecond);

// An error report with the device state, as the health options have it by default.
void BM_CaptureErrorOnTheCaller(benchmark::State& state) {
    IsolatedSdk sdk;
    sdk.options.health.captureDeviceState = true;
    sdk.initialize();
    corvantesk::Corvantesk::start();
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        corvantesk::Corvantesk::captureError("disk full");
        micros.push_back(microsSince(start));
    }
    report(state, micros);
}
BENCHMARK(BM_CaptureErrorOnTheCaller)->Iterations(200)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
