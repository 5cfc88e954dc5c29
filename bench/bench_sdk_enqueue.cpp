// What a tracking call costs the caller: Corvantesk::track() end to end on a started SDK (target: a median under
// 5 µs, no file I/O on the caller's thread), the same with events a few milliseconds apart as an application
// makes them, the writer busy meanwhile (targets: a p99 under 50 µs, disk bytes per event within 4x the event's
// own size), the queue step alone, and persisting a full queue of 500 events. Beside the spaced calls, the floor
// this machine sets at the same spacing: an empty call, one 500-byte allocation, and reading 64 cache lines, each
// timed alone after the same sleeps (in a virtual machine these have p99s of several microseconds by themselves).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "Corvantesk/Corvantesk.h"
#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/EventQueue.h"
#include "platform/core/Uuid.h"

namespace {

// The queues' size in events in these benchmarks (the SDK's default): once this many wait, each call drops the
// oldest. The calls made until then are reported apart, with the page faults the caller took: were the queue to
// keep what the caller allocated, its heap would grow by a page every few events (each fault costs tens of
// microseconds in a virtual machine).
constexpr std::size_t kQueueSize = 500;

// An event about the size of an analytics event in its queue-file form.
struct BenchEvent {
    std::string id;
    double timestamp = 0;
    std::string eventType;
    std::string sessionId;
    std::string category;
    corvantesk::AnyMap properties;
};

void to_json(nlohmann::json& json, const BenchEvent& event) {
    json = {{"id", event.id},
            {"timestamp", event.timestamp},
            {"eventType", event.eventType},
            {"sessionId", event.sessionId},
            {"category", event.category},
            {"properties", event.properties}};
}

void from_json(const nlohmann::json& json, BenchEvent& event) {
    event.id = json.at("id").get<std::string>();
    event.timestamp = json.at("timestamp").get<double>();
    event.eventType = json.at("eventType").get<std::string>();
    event.sessionId = json.at("sessionId").get<std::string>();
    event.category = json.at("category").get<std::string>();
    event.properties = corvantesk::anyMapFromJson(json.at("properties"));
}

BenchEvent makeEvent(const std::string& session) {
    return BenchEvent{platform::makeUuidString(),
                      786000000.0,
                      "conversation_opened",
                      session,
                      "scaling",
                      corvantesk::AnyMap{{"messageCount", 1234}, {"hasAttachments", true}}};
}

struct BenchFolder {
    BenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "bench-sdk-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
    }
    ~BenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::filesystem::path root;
};

// Sorts the single-call times and reports their median, 99th percentile and maximum (under `prefix`).
void reportPercentiles(benchmark::State& state, std::vector<double> nanos, const std::string& prefix = "") {
    std::sort(nanos.begin(), nanos.end());
    if (!nanos.empty()) {
        state.counters[prefix + "median_ns"] = nanos[nanos.size() / 2];
        state.counters[prefix + "p99_ns"] = nanos[nanos.size() * 99 / 100];
        state.counters[prefix + "max_ns"] = nanos.back();
    }
}

// A started SDK on a private folder, with nowhere to send to: sends fail quietly on the SDK's own threads.
struct StartedSdk {
    StartedSdk() {
        auto options = corvantesk::CorvanteskOptions::make("bench.app", "bench-key");
        options.baseUrl = "http://127.0.0.1:9";
        options.flushInterval = 3600;
        options.batchSize = 1000000;
        options.maxOfflineQueueSize = kQueueSize;
        options.health.enableHeartbeat = false;
        corvantesk::ClientEnvironment environment;
        environment.storage = &storage;
        corvantesk::Corvantesk::initialize(options, environment);
        corvantesk::Corvantesk::start();
    }
    ~StartedSdk() { corvantesk::Corvantesk::shutdown(std::chrono::milliseconds(500)); }
    static void track() {
        static const corvantesk::AnyMap properties{{"messageCount", 1234}, {"hasAttachments", true}};
        corvantesk::Corvantesk::track("conversation_opened", "scaling", properties);
    }
    BenchFolder folder;
    platform::UserDefaults defaults{folder.root / "defaults.json"};
    corvantesk::Storage storage{defaults, folder.root / "Corvantesk"};
};

// A started queue of BenchEvents whose sends all end as `delivered` says.
struct StartedQueue {
    explicit StartedQueue(bool delivered)
        : queue(
              "bench", 1000000, 3600.0, kQueueSize, false,
              [delivered](const std::vector<BenchEvent>&, std::stop_token, std::chrono::steady_clock::time_point) {
                  return delivered;
              },
              storage) {
        queue.startAutoFlush();
    }
    BenchFolder folder;
    platform::UserDefaults defaults{folder.root / "defaults.json"};
    corvantesk::Storage storage{defaults, folder.root / "Corvantesk"};
    corvantesk::EventQueue<BenchEvent> queue;
    const std::string session = platform::makeUuidString();
};

void BM_TrackEndToEnd(benchmark::State& state) {
    StartedSdk sdk;
    std::vector<double> nanos;
    nanos.reserve(1 << 20);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        StartedSdk::track();
        if (nanos.size() < nanos.capacity()) {
            nanos.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
        }
    }
    reportPercentiles(state, nanos);
}
BENCHMARK(BM_TrackEndToEnd);

// Bytes this process has handed to write() so far ("wchar" in /proc/self/io).
double bytesWrittenByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    double value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") {
            return value;
        }
    }
    return 0;
}

// Page faults the calling thread has taken so far.
double threadPageFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_minflt + usage.ru_majflt);
}

// Times `call` once per iteration, one to ten milliseconds after the previous one (`prepare` runs untimed before
// each wait), and reports the percentiles: of every call, of those made while the queue fills ("filling_") and once
// it is full ("full_"), with the page faults the calling thread took while the queue filled and after.
template <class Prepare, class Call>
std::size_t timeSpacedCalls(benchmark::State& state, const Prepare& prepare, const Call& call) {
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> spacingMicros(1000, 10000);
    std::vector<double> nanos;
    nanos.reserve(state.max_iterations);
    const double faultsBefore = threadPageFaults();
    double faultsFull = faultsBefore;
    for (auto _ : state) {
        auto argument = prepare();
        std::this_thread::sleep_for(std::chrono::microseconds(spacingMicros(random)));
        const auto start = std::chrono::steady_clock::now();
        call(std::move(argument));
        nanos.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
        if (nanos.size() == kQueueSize) {
            faultsFull = threadPageFaults();
        }
    }
    const double faultsAfter = threadPageFaults();
    reportPercentiles(state, nanos);
    state.counters["page_faults"] = faultsFull - faultsBefore;
    if (nanos.size() > kQueueSize) {
        reportPercentiles(state, {nanos.begin(), nanos.begin() + kQueueSize}, "filling_");
        reportPercentiles(state, {nanos.begin() + kQueueSize, nanos.end()}, "full_");
        state.counters["full_page_faults"] = faultsAfter - faultsFull;
    }
    return nanos.size();
}

void reportBytesWritten(benchmark::State& state, double written, std::size_t events, double eventBytes) {
    const double perEvent = written / static_cast<double>(std::max<std::size_t>(events, 1));
    state.counters["event_bytes"] = eventBytes;
    state.counters["written_bytes_per_event"] = perEvent;
    state.counters["written_per_event_bytes_ratio"] = eventBytes > 0 ? perEvent / eventBytes : 0.0;
}

// One event every 1 to 10 ms, so that the writer saves each change while the next calls come; nothing is sent,
// so the queue fills up and then drops its oldest event at every call.
void BM_TrackWithRealisticSpacing(benchmark::State& state) {
    StartedSdk sdk;
    const double writtenBefore = bytesWrittenByProcess();
    const std::size_t calls = timeSpacedCalls(
        state, [] { return 0; }, [](int) { StartedSdk::track(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the writer saves the last ones
    const double written = bytesWrittenByProcess() - writtenBefore;
    const auto pending = corvantesk::Corvantesk::sharedOrNil()->analytics().pendingEvents();
    const double eventBytes = pending.empty() ? 0.0 : static_cast<double>(nlohmann::json(pending.back()).dump().size());
    reportBytesWritten(state, written, calls, eventBytes);
}
BENCHMARK(BM_TrackWithRealisticSpacing)->Iterations(2000)->Unit(benchmark::kMillisecond);

// What this machine costs by itself at the same spacing, to set beside the spaced calls' percentiles: an empty
// call ("empty_", the clock and the call), one 500-byte allocation freed at once ("alloc_", about one event's), and
// reading 64 cache lines of a buffer untouched since the last sleep ("lines_"). One of the three after each sleep.
void BM_FloorWithRealisticSpacing(benchmark::State& state) {
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> spacingMicros(1000, 10000);
    std::vector<double> nanos[3];
    static void (*volatile emptyCall)() = [] {};
    std::vector<unsigned char> lines(64 * 64, 1);
    unsigned sink = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::microseconds(spacingMicros(random)));
        const std::size_t kind = i++ % 3;
        const auto start = std::chrono::steady_clock::now();
        if (kind == 0) {
            emptyCall();
        } else if (kind == 1) {
            void* block = std::malloc(500);
            benchmark::DoNotOptimize(block);
            std::free(block);
        } else {
            for (std::size_t at = 0; at < lines.size(); at += 64) {
                sink += *static_cast<volatile unsigned char*>(&lines[at]);
            }
        }
        nanos[kind].push_back(
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
    }
    benchmark::DoNotOptimize(sink);
    reportPercentiles(state, nanos[0], "empty_");
    reportPercentiles(state, nanos[1], "alloc_");
    reportPercentiles(state, nanos[2], "lines_");
}
BENCHMARK(BM_FloorWithRealisticSpacing)->Iterations(3000)->Unit(benchmark::kMillisecond);

// The queue step alone at the same spacing, and the bytes its files took per event.
void BM_EnqueueWithRealisticSpacing(benchmark::State& state) {
    StartedQueue bench(false);
    const std::size_t calls = timeSpacedCalls(
        state, [&] { return makeEvent(bench.session); },
        [&](BenchEvent event) { bench.queue.enqueue(std::move(event)); });
    bench.queue.stopAutoFlush();
    reportBytesWritten(state, static_cast<double>(bench.queue.bytesWritten()), calls,
                       static_cast<double>(nlohmann::json(makeEvent(bench.session)).dump().size()));
}
BENCHMARK(BM_EnqueueWithRealisticSpacing)->Iterations(2000)->Unit(benchmark::kMillisecond);

void BM_EnqueueOneEvent(benchmark::State& state) {
    StartedQueue bench(true);
    auto& queue = bench.queue;
    const std::string& session = bench.session;
    std::vector<BenchEvent> events;
    for (int i = 0; i < 1024; ++i) {
        events.push_back(makeEvent(session));
    }
    // Each call is timed on its own too, so the median and the tail of single calls are reported, not only the mean.
    std::vector<double> nanos;
    nanos.reserve(1 << 20);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        queue.enqueue(events[i++ & 1023]);
        if (nanos.size() < nanos.capacity()) {
            nanos.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
        }
    }
    queue.stopAutoFlush();
    reportPercentiles(state, nanos);
}
BENCHMARK(BM_EnqueueOneEvent);

void BM_PersistFullQueueOf500(benchmark::State& state) {
    BenchFolder folder;
    platform::UserDefaults defaults(folder.root / "defaults.json");
    corvantesk::Storage storage(defaults, folder.root / "Corvantesk");
    const std::string session = platform::makeUuidString();
    std::vector<BenchEvent> events;
    for (int i = 0; i < 500; ++i) {
        events.push_back(makeEvent(session));
    }
    for (auto _ : state) {
        storage.saveOfflineEvents(events, "bench");
    }
    state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(storage.offlineFilePath("bench")));
}
BENCHMARK(BM_PersistFullQueueOf500)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
