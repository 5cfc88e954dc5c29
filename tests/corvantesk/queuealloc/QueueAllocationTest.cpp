// The caller's side of a started queue allocates nothing once it is warm: each thread's heap allocations are
// counted through a replaced global operator new (which is why this is a binary of its own).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "Corvantesk/analytics/AnalyticsClient.h"
#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/HttpTransport.h"
#include "tests/corvantesk/core/SdkTestSupport.h"

namespace {
thread_local std::size_t allocations = 0;
// Blocks made while this is set are counted in liveCallerBytes until freed, on whatever thread.
thread_local bool countLiveBytes = false;
std::atomic<long long> liveCallerBytes{0};

// Each block carries its size and whether it is counted, ahead of what the caller gets (malloc's alignment kept).
struct alignas(16) BlockHeader {
    std::size_t size;
    bool counted;
};

void* allocate(std::size_t size) {
    ++allocations;
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (header == nullptr) {
        return nullptr;
    }
    *header = BlockHeader{size, countLiveBytes};
    if (countLiveBytes) {
        liveCallerBytes += static_cast<long long>(size);
    }
    return header + 1;
}
void* allocateOrThrow(std::size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void release(void* block) {
    if (block == nullptr) {
        return;
    }
    auto* header = static_cast<BlockHeader*>(block) - 1;
    if (header->counted) {
        liveCallerBytes -= static_cast<long long>(header->size);
    }
    std::free(header);
}
} // namespace

void* operator new(std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    release(block);
}
void operator delete[](void* block) noexcept {
    release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    release(block);
}

using namespace std::chrono_literals;
using sdktest::TestEvent;
using Queue = corvantesk::EventQueue<TestEvent>;

namespace {

// Events long enough that their strings live on the heap: made before counting, moved into the queue.
std::vector<TestEvent> longEvents(int from, int to) {
    std::vector<TestEvent> list;
    for (int i = from; i < to; ++i) {
        list.push_back(TestEvent{std::string(100, 'x').append(std::to_string(i)), i});
    }
    return list;
}

TEST(QueueAllocation, TrackingOnAStartedQueueAllocatesNothingOnTheCallerOnceWarm) {
    {
        const std::size_t before = allocations;
        std::string counted(100, 'x');
        ASSERT_EQ(allocations, before + 1) << "the counting operator new is not in use";
    }
    sdktest::TestStorage storage;
    Queue queue(
        "alloc", 1000000, 3600.0, 50, false,
        [](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) { return false; },
        storage.storage);
    queue.startAutoFlush();
    // Warm: past the count cap (every call drops the oldest) and saved by the writer.
    for (auto& event : longEvents(0, 120)) {
        queue.enqueue(std::move(event));
    }
    for (int i = 0; i < 500 && queue.bytesWritten() == 0; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_GT(queue.bytesWritten(), 0u);
    // The memory for callers is made as the sender starts, which on a loaded machine may come after that save.
    for (int i = 0; i < 2500 && !queue.callersMemoryReady(); ++i) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(queue.callersMemoryReady());

    // Calls in runs of ten, the writer saving and freeing between runs (as it does a few milliseconds after
    // each call, a loaded machine's delays aside: a writer held up much longer leaves callers to the heap).
    auto tracked = longEvents(120, 420);
    std::size_t made = 0;
    for (std::size_t i = 0; i < tracked.size(); ++i) {
        if (i % 10 == 0) {
            const auto written = queue.bytesWritten();
            for (int wait = 0; wait < 500 && queue.bytesWritten() == written; ++wait) {
                std::this_thread::sleep_for(1ms);
            }
        }
        const std::size_t before = allocations;
        queue.enqueue(std::move(tracked[i]));
        made += allocations - before;
    }
    EXPECT_EQ(made, 0u) << "heap allocations on the caller in " << tracked.size() << " calls";

    const auto kept = queue.events();
    ASSERT_EQ(kept.size(), 50u);
    EXPECT_EQ(kept.front().sequence, 370);
    EXPECT_EQ(kept.back().sequence, 419);
    EXPECT_EQ(kept.back().id, std::string(100, 'x') + "419");
}

// Events waiting in a started queue hold none of the memory the caller made them in: the writer keeps their file
// form and lets the caller's blocks go, so the caller's heap does not grow (a page fault every few calls) while
// the queue fills. Sends and copies still see the events as they were made.
TEST(QueueAllocation, WaitingEventsHoldNoneOfTheCallersMemory) {
    sdktest::TestStorage storage;
    std::vector<TestEvent> sent;
    std::mutex sentMutex;
    Queue queue(
        "live", 1000000, 3600.0, 1000, false,
        [&](const std::vector<TestEvent>& batch, std::stop_token, std::chrono::steady_clock::time_point) {
            std::lock_guard lock(sentMutex);
            sent.insert(sent.end(), batch.begin(), batch.end());
            return true;
        },
        storage.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    for (int i = 0; i < 500 && queue.bytesWritten() == 0; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_GT(queue.bytesWritten(), 0u);

    countLiveBytes = true;
    for (int i = 1; i <= 300; ++i) {
        if (i % 10 == 0) {
            std::this_thread::sleep_for(3ms);
        }
        queue.enqueue(TestEvent{std::string(100, 'x').append(std::to_string(i)), i});
    }
    countLiveBytes = false;
    // The writer takes the last of them within a few milliseconds.
    for (int i = 0; i < 500 && liveCallerBytes.load() > 2000; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_LE(liveCallerBytes.load(), 2000) << "bytes the caller made still held after 300 events of about 100 bytes";

    const auto kept = queue.events();
    ASSERT_EQ(kept.size(), 301u);
    EXPECT_EQ(kept[1], (TestEvent{std::string(100, 'x') + "1", 1}));
    EXPECT_EQ(kept.back(), (TestEvent{std::string(100, 'x') + "300", 300}));
    queue.flush();
    std::lock_guard lock(sentMutex);
    ASSERT_EQ(sent.size(), 301u);
    EXPECT_EQ(sent[0], sdktest::event(0));
    EXPECT_EQ(sent.back(), kept.back());
    queue.stopAutoFlush();
}

// What a tracking call allocates is the event's own data: here its id and its copy of the session id (the type
// and category fit in the strings themselves), nothing of the client's or the queue's.
TEST(QueueAllocation, TrackingAllocatesOnlyTheEventsOwnTexts) {
    sdktest::TestStorage storage;
    auto options = corvantesk::CorvanteskOptions::make("app.test", "secret");
    options.baseUrl = "http://127.0.0.1:9";
    options.flushInterval = 3600;
    auto transport = std::make_shared<corvantesk::HttpTransport>(options.baseUrl, options.appId, options.apiKey, false);
    corvantesk::AnalyticsEnvironment environment;
    environment.storage = &storage.storage;
    corvantesk::AnalyticsClient client(options, transport, environment);
    client.start();
    for (int i = 0; i < 50; ++i) {
        client.track("opened", "tap");
    }
    std::this_thread::sleep_for(200ms); // the writer has made its memory and saved these

    constexpr std::size_t kCalls = 100;
    const std::string type = "opened";
    const std::optional<std::string> category = "tap";
    std::size_t made = 0;
    for (std::size_t i = 0; i < kCalls; ++i) {
        const std::size_t before = allocations;
        client.track(type, category);
        made += allocations - before;
    }
    EXPECT_EQ(made, 2 * kCalls);
    client.stop();
}

} // namespace
