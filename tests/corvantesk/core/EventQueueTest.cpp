#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/HttpTransport.h"
#include "platform/core/AtomicFile.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/support/LoopbackHttpServer.h"

using namespace corvantesk;
using namespace std::chrono_literals;
using sdktest::TestEvent;
using Queue = EventQueue<TestEvent>;

namespace {

std::vector<TestEvent> events(int from, int to) {
    std::vector<TestEvent> list;
    for (int i = from; i < to; ++i) {
        list.push_back(sdktest::event(i));
    }
    return list;
}

// A send function whose answer the test scripts; it can hold a send until the test lets it go.
class ScriptedSender {
public:
    Queue::SendBatch function() {
        return
            [this](const std::vector<TestEvent>& batch, std::stop_token cancel, std::chrono::steady_clock::time_point) {
                std::unique_lock lock(mutex_);
                batches_.push_back(batch);
                changed_.notify_all();
                std::condition_variable_any& cv = changed_;
                cv.wait(lock, cancel, [&] { return !holding_; });
                if (cancel.stop_requested()) {
                    throw TransportError::networkError("The request was cancelled");
                }
                return result_;
            };
    }
    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void release(bool result) {
        {
            std::lock_guard lock(mutex_);
            holding_ = false;
            result_ = result;
        }
        changed_.notify_all();
    }
    void setResult(bool result) {
        std::lock_guard lock(mutex_);
        result_ = result;
    }
    bool waitForBatches(std::size_t count, std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return batches_.size() >= count; });
    }
    std::vector<std::vector<TestEvent>> batches() {
        std::lock_guard lock(mutex_);
        return batches_;
    }

private:
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::vector<std::vector<TestEvent>> batches_;
    bool holding_ = false;
    bool result_ = true;
};

// A send function that posts the batch to the loopback server through the transport.
Queue::SendBatch postingTo(const qbtest::LoopbackHttpServer& server) {
    auto transport = std::make_shared<HttpTransport>(server.baseUrl(), "app", "key", false);
    return [transport](const std::vector<TestEvent>& batch, std::stop_token cancel,
                       std::chrono::steady_clock::time_point deadline) {
        return transport->post("/api/v1/analytics/events", nlohmann::json(batch).dump(), cancel, deadline).success;
    };
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

} // namespace

// A queue with a large cap makes megabytes of memory for its callers as it starts (tens of milliseconds where
// page faults are dear); its first events reach the disk before that, so a kill meanwhile loses none of them.
TEST(EventQueue, ALargeQueueSavesItsFirstEventBeforeItHasMadeItsCallersMemory) {
    sdktest::TestStorage test;
    Queue queue(
        "early", 1000000, 3600.0, 1000000, false,
        [](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) { return false; },
        test.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    bool readyWhenSaved = true;
    bool saved = false;
    for (int i = 0; i < 25000 && !saved; ++i) {
        const bool ready = queue.callersMemoryReady();
        saved = !test.storage.loadOfflineEvents<TestEvent>("early").empty();
        readyWhenSaved = ready;
        std::this_thread::sleep_for(200us);
    }
    ASSERT_TRUE(saved);
    EXPECT_FALSE(readyWhenSaved) << "the first event waited for the callers' memory";
    queue.stopAutoFlush();
}

// Building a queue reads none of its files (the program builds it on its GUI thread, before the backlog matters):
// the writer loads them as it starts, and events tracked before go after the loaded ones, within the count cap.
TEST(EventQueue, TheWriterLoadsTheFilesAndWhatWasTrackedBeforeFollows) {
    sdktest::TestStorage test;
    test.storage.saveOfflineEvents(events(0, 5), "q");
    // Not a journal: whoever reads the files sets it aside.
    const auto journal = test.storage.offlineJournalPath("q", 1);
    std::ofstream(journal) << "not a journal\n";
    ScriptedSender sender;
    Queue queue("q", 100, 3600.0, 6, false, sender.function(), test.storage);
    queue.enqueue(events(5, 7));
    EXPECT_TRUE(std::filesystem::exists(journal)) << "building the queue read its files";
    queue.startAutoFlush();
    EXPECT_TRUE(eventually([&] { return test.storage.loadOfflineEvents<TestEvent>("q") == events(1, 7); }));
    EXPECT_EQ(queue.events(), events(1, 7));
    queue.stopAutoFlush();
}

TEST(EventQueue, FullQueueDropsTheOldestAndTheFileFollows) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    Queue queue("q", 100, 30.0, 3, true, sender.function(), test.storage);
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 4; ++i) {
        queue.enqueue(sdktest::event(i));
    }
    queue.persist();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(queue.events(), events(1, 4));
    EXPECT_NE(out.find("[Corvantesk] Queue q at max size, dropped 1 oldest events\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[Corvantesk] Enqueued q event (queue size: 3)\n"), std::string::npos);
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q"), events(1, 4));
}

TEST(EventQueue, LoadsEverythingPersistedAndTrimsOnTheNextEnqueue) {
    sdktest::TestStorage test;
    test.storage.saveOfflineEvents(events(0, 7), "q");
    ScriptedSender sender;
    Queue queue("q", 100, 30.0, 5, false, sender.function(), test.storage);
    EXPECT_EQ(queue.count(), 7u);
    queue.enqueue(sdktest::event(7));
    EXPECT_EQ(queue.events(), events(3, 8));
}

TEST(EventQueue, EmptyArrayStillPersistsAndEmptyFlushSendsNothing) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    Queue queue("q", 100, 30.0, 5, true, sender.function(), test.storage);
    queue.flush();
    EXPECT_TRUE(sender.batches().empty());
    EXPECT_FALSE(std::filesystem::exists(test.storage.offlineFilePath("q")));
    ::testing::internal::CaptureStdout();
    queue.enqueue(std::vector<TestEvent>{});
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[Corvantesk] Enqueued 0 q events (queue size: 0)\n");
    EXPECT_TRUE(queue.persist());
    EXPECT_EQ(test.storage.loadOfflineJson("q"), nlohmann::json::array());
}

TEST(EventQueue, FailedBatchKeepsItsPlaceAheadOfNewerEvents) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    sender.hold();
    Queue queue("q", 100, 3600.0, 6, true, sender.function(), test.storage);
    ::testing::internal::CaptureStdout();
    queue.startAutoFlush(); // the writer, so that events enqueued during the send reach the file
    queue.enqueue(events(0, 5));
    std::jthread flusher([&] { queue.flush(); });
    ASSERT_TRUE(sender.waitForBatches(1));
    queue.enqueue(events(5, 8));
    // While the batch is away, the file holds it ahead of the newer events.
    EXPECT_TRUE(eventually([&] { return test.storage.loadOfflineEvents<TestEvent>("q") == events(0, 8); }));
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStdout();
    sender.release(false);
    flusher.join();
    EXPECT_NE(
        ::testing::internal::GetCapturedStdout().find("[Corvantesk] Re-queued 3 events, dropped 2 due to max size\n"),
        std::string::npos);
    std::vector<TestEvent> expected = events(0, 3);
    for (const auto& e : events(5, 8)) {
        expected.push_back(e);
    }
    EXPECT_EQ(queue.events(), expected);
    queue.stopAutoFlush();
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q"), expected);
    EXPECT_EQ(sender.batches()[0], events(0, 5));
}

TEST(EventQueue, ThrowingSendIsReportedAndRetriedLater) {
    sdktest::TestStorage test;
    Queue queue(
        "q", 100, 30.0, 10, true,
        [](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) -> bool {
            throw TransportError::httpError(500, "boom");
        },
        test.storage);
    queue.enqueue(events(0, 2));
    ::testing::internal::CaptureStdout();
    queue.flush();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[Corvantesk] Flushing 2 q events\n"), std::string::npos);
    EXPECT_NE(out.find("[Corvantesk] Failed to send q batch: httpError(statusCode: 500, message: \"boom\")\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[Corvantesk] Re-queued 2 events for retry\n"), std::string::npos);
    EXPECT_EQ(queue.events(), events(0, 2));
}

TEST(EventQueue, SizeTriggerFlushesOnTheWorkerAndLaterEventsWaitTheirTurn) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    sender.hold();
    Queue queue("q", 2, 30.0, 100, false, sender.function(), test.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    queue.enqueue(sdktest::event(1));
    ASSERT_TRUE(sender.waitForBatches(1));
    queue.enqueue(sdktest::event(2)); // during the send: not part of that batch
    queue.enqueue(sdktest::event(3)); // reaches the batch size again: flushed right after
    sender.release(true);
    ASSERT_TRUE(sender.waitForBatches(2));
    EXPECT_EQ(sender.batches()[0], events(0, 2));
    EXPECT_EQ(sender.batches()[1], events(2, 4));
    EXPECT_TRUE(eventually([&] { return queue.count() == 0; }));
    queue.stopAutoFlush();
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q").size(), 0u);
}

TEST(EventQueue, TimerFlushesOneIntervalAfterStart) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    Queue queue("q", 100, 0.2, 100, false, sender.function(), test.storage); // raised to the 1 s minimum
    queue.enqueue(events(0, 3));
    const auto start = std::chrono::steady_clock::now();
    queue.startAutoFlush();
    ASSERT_TRUE(sender.waitForBatches(1, 3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);
    EXPECT_EQ(sender.batches()[0], events(0, 3));
    EXPECT_TRUE(eventually([&] { return queue.count() == 0; }));
}

TEST(EventQueue, StartsOnceStopsPromptlyAndStartsAgain) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    sender.hold();
    Queue queue("q", 1, 1.0, 100, true, sender.function(), test.storage);
    ::testing::internal::CaptureStdout();
    queue.startAutoFlush();
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    ASSERT_TRUE(sender.waitForBatches(1));
    const auto stopAt = std::chrono::steady_clock::now();
    queue.stopAutoFlush(); // cancels the send that is waiting
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1000ms);
    queue.startAutoFlush();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string started = "[Corvantesk] Started auto-flush for q (interval: 1.0s)\n";
    std::size_t starts = 0;
    for (auto at = out.find(started); at != std::string::npos; at = out.find(started, at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 2u) << out;
    EXPECT_NE(out.find("[Corvantesk] Stopped auto-flush for q\n"), std::string::npos);
    EXPECT_EQ(queue.events(), events(0, 1)) << "the cancelled batch is kept";
    sender.release(true);
    queue.stopAutoFlush();
}

TEST(EventQueue, AtLeastOnceAcrossAQuitDuringTheSend) {
    sdktest::TestStorage test;
    {
        ScriptedSender sender;
        sender.hold();
        Queue queue("q", 3, 30.0, 100, false, sender.function(), test.storage);
        queue.startAutoFlush();
        queue.enqueue(events(0, 3));
        ASSERT_TRUE(sender.waitForBatches(1));
        // The process "quits" here: whatever is on disk now is what the next launch gets.
        EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q"), events(0, 3));
    }
    ScriptedSender next;
    Queue relaunched("q", 3, 30.0, 100, false, next.function(), test.storage);
    EXPECT_EQ(relaunched.events(), events(0, 3));
    relaunched.flush();
    EXPECT_EQ(next.batches().at(0), events(0, 3));
    EXPECT_EQ(relaunched.count(), 0u);
}

TEST(EventQueue, ClearForgetsABatchInFlight) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    sender.hold();
    Queue queue("q", 100, 30.0, 100, false, sender.function(), test.storage);
    queue.enqueue(events(0, 2));
    std::jthread flusher([&] { queue.flush(); });
    ASSERT_TRUE(sender.waitForBatches(1));
    queue.clear();
    queue.enqueue(sdktest::event(9));
    sender.release(false);
    flusher.join();
    EXPECT_EQ(queue.events(), std::vector<TestEvent>{sdktest::event(9)});
}

// Against a service that is down, requests come at most once per timer tick, however fast events arrive.
TEST(EventQueue, NoRequestStormWhileTheServiceIsDown) {
    sdktest::withoutProxies();
    sdktest::TestStorage test;
    qbtest::LoopbackHttpServer server;
    server.setDefaultReply({503, {}, R"({"error":"down"})"});
    auto send = postingTo(server);
    Queue queue("analytics", 2, 0.001, 500, false, send, test.storage); // raised to the 1 s minimum
    queue.startAutoFlush();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        queue.enqueue(sdktest::event(i));
        std::this_thread::sleep_for(10ms);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto ticks = static_cast<std::size_t>(seconds / 1.0);
    EXPECT_LE(server.requestCount(), ticks + 2) << "over " << seconds << " s";
    EXPECT_GE(server.requestCount(), 1u);

    // Back up: everything goes out, in order, and nothing is lost.
    server.setDefaultReply({200, {}, "{}"});
    // Generous: under a sanitizer on a busy machine the next ticks can come late.
    ASSERT_TRUE(eventually([&] { return queue.count() == 0; }, 10000ms));
    // A failed batch keeps its place, so every failed request began with event 0; the last request that does is
    // the first delivered one. From there the requests hold every event once, in order, two at a time.
    std::vector<int> delivered;
    const auto requests = server.requests();
    std::size_t firstDelivered = requests.size();
    for (std::size_t i = requests.size(); i-- > 0;) {
        if (requests[i].json().front().at("sequence") == 0) {
            firstDelivered = i;
            break;
        }
    }
    ASSERT_LT(firstDelivered, requests.size());
    for (std::size_t i = firstDelivered; i < requests.size(); ++i) {
        const auto body = requests[i].json();
        EXPECT_LE(body.size(), 2u) << "no request holds more than a batch";
        for (const auto& event : body) {
            delivered.push_back(event.at("sequence").get<int>());
        }
    }
    ASSERT_EQ(delivered.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(delivered[static_cast<std::size_t>(i)], i);
    }
}

TEST(EventQueue, NothingIsSentBeforeRetryAfter) {
    sdktest::TestStorage test;
    std::atomic<int> sends{0};
    Queue queue(
        "q", 1, 0.1, 100, false,
        [&](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) -> bool {
            if (sends.fetch_add(1) == 0) {
                throw TransportError::rateLimited(1.0);
            }
            return true;
        },
        test.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    ASSERT_TRUE(eventually([&] { return sends.load() == 1; }));
    const auto limitedAt = std::chrono::steady_clock::now();
    for (int i = 1; std::chrono::steady_clock::now() - limitedAt < 600ms; ++i) {
        queue.enqueue(sdktest::event(i));
        queue.flush(); // an explicit flush waits too
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(sends.load(), 1) << "ticks, size triggers and flushes all wait";
    ASSERT_TRUE(eventually([&] { return queue.count() == 0; }, 4000ms));
    EXPECT_GE(sends.load(), 2);
}

// A server's Retry-After is honoured up to one hour, never longer: a 24-hour pause ends after an hour.
TEST(EventQueue, RetryAfterIsCappedAtOneHour) {
    sdktest::TestStorage test;
    std::atomic<int> sends{0};
    auto now = std::chrono::steady_clock::time_point(std::chrono::hours(100));
    Queue queue(
        "q", 100, 30.0, 100, false,
        [&](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) -> bool {
            if (sends.fetch_add(1) == 0) {
                throw TransportError::rateLimited(24.0 * 3600.0);
            }
            return true;
        },
        test.storage, [&now] { return now; });
    queue.enqueue(sdktest::event(0));
    queue.flush();
    ASSERT_EQ(sends.load(), 1);
    now += 59min;
    queue.flush();
    EXPECT_EQ(sends.load(), 1) << "still within the pause";
    now += 1min + 1s;
    queue.flush();
    EXPECT_EQ(sends.load(), 2) << "an hour is the longest pause";
    EXPECT_EQ(queue.count(), 0u);
}

// One request carries at most `batchSize` events and about 1 MiB of body; a flush sends them all, in order,
// in as many requests as it takes.
TEST(EventQueue, FlushSendsBoundedBatchesUntilEverythingIsOut) {
    sdktest::withoutProxies();
    sdktest::TestStorage test;
    qbtest::LoopbackHttpServer server;
    auto send = postingTo(server);
    Queue queue("q", 10, 30.0, 1000, false, send, test.storage);
    queue.enqueue(events(0, 25));
    // Large events: 300 KB each, so three fill a request.
    std::vector<TestEvent> large;
    for (int i = 25; i < 31; ++i) {
        large.push_back(TestEvent{std::string(300 * 1024, 'x'), i});
    }
    queue.enqueue(large);
    queue.flush();
    EXPECT_EQ(queue.count(), 0u);
    std::vector<int> sequences;
    for (const auto& request : server.requests()) {
        EXPECT_LE(request.body.size(), 1024u * 1024u);
        const auto body = request.json();
        EXPECT_LE(body.size(), 10u);
        for (const auto& event : body) {
            sequences.push_back(event.at("sequence").get<int>());
        }
    }
    EXPECT_GE(server.requestCount(), 5u); // 10 + 10 + 5 small, then at least two of the large
    ASSERT_EQ(sequences.size(), 31u);
    for (int i = 0; i < 31; ++i) {
        EXPECT_EQ(sequences[static_cast<std::size_t>(i)], i);
    }
}

// While a send hangs, events enqueued meanwhile are written to the file at once.
TEST(EventQueue, EventsEnqueuedDuringASendAreSavedDuringIt) {
    sdktest::TestStorage test;
    ScriptedSender sender;
    sender.hold();
    Queue queue("q", 1, 30.0, 100, false, sender.function(), test.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    ASSERT_TRUE(sender.waitForBatches(1));
    queue.enqueue(events(1, 5));
    EXPECT_TRUE(eventually([&] { return test.storage.loadOfflineEvents<TestEvent>("q") == events(0, 5); }));
    sender.release(true);
    queue.stopAutoFlush();
}

// An event the service refuses for good (413 for a body over its limit) goes once and is dropped with a line;
// the events behind it go out in the same flush. Server errors, 408, 429 and the answers about the key or the
// address (401, 403, 404) keep the event for a retry; only answers about the body itself (400, 409, 413, 422)
// refuse it.
TEST(EventQueue, AnEventRefusedForGoodIsDroppedAndTheRestGoOut) {
    sdktest::withoutProxies();
    sdktest::TestStorage test;
    qbtest::LoopbackHttpServer server;
    server.refuseBodiesOver(200 * 1024);
    auto send = postingTo(server);
    Queue queue("q", 1, 30.0, 100, true, send, test.storage);
    queue.enqueue(TestEvent{std::string(300 * 1024, 'x'), -1});
    queue.enqueue(events(0, 45));
    ::testing::internal::CaptureStdout();
    queue.flush();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[Corvantesk] Dropped 1 q events the service refused: HTTP error 413: Request body too large\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(queue.count(), 0u);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 46u) << "the refused event went once";
    EXPECT_GT(requests[0].body.size(), 200u * 1024);
    for (int i = 0; i < 45; ++i) {
        EXPECT_EQ(requests[static_cast<std::size_t>(i) + 1].json().at(0).at("sequence"), i);
    }

    for (const int status : {500, 503, 408, 429, 401, 403, 404, 405, 410, 415}) {
        server.pushReply({status, {}, "{}"});
        queue.enqueue(sdktest::event(status));
        queue.flush();
        EXPECT_EQ(queue.events(), std::vector<TestEvent>{sdktest::event(status)}) << status << " is retried";
        queue.clear();
    }
    for (const int status : {400, 409, 413, 422}) {
        server.pushReply({status, {}, "{}"});
        queue.enqueue(sdktest::event(status));
        queue.flush();
        EXPECT_EQ(queue.count(), 0u) << status << " is refused for good";
    }
}

// A refused batch costs only the event the service cannot take: with a service that takes bodies up to 200 KB,
// one event of 320 KB (under the queue's own cap) among 50 leaves the other 49 delivered, in order, each once.
TEST(EventQueue, ARefusedBatchIsSentAgainInHalvesUntilOnlyTheRefusedEventIsLeft) {
    sdktest::withoutProxies();
    sdktest::TestStorage test;
    qbtest::LoopbackHttpServer server;
    server.refuseBodiesOver(200 * 1024);
    auto send = postingTo(server);
    Queue queue("q", 20, 30.0, 500, true, send, test.storage);
    for (int i = 0; i < 50; ++i) {
        queue.enqueue(i == 7 ? TestEvent{std::string(320 * 1024, 'x'), i} : sdktest::event(i));
    }
    ::testing::internal::CaptureStdout();
    queue.flush();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_NE(out.find("[Corvantesk] Sending a refused batch of 20 q events again in halves: HTTP error 413: "
                       "Request body too large\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[Corvantesk] Dropped 1 q events the service refused: HTTP error 413: Request body too large\n"),
              std::string::npos)
        << out;
    std::vector<int> delivered;
    std::size_t refused = 0;
    std::size_t afterLastRefused = 0;
    const auto requests = server.requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& request = requests[i];
        if (request.body.size() > 200 * 1024) {
            ++refused;
            afterLastRefused = i + 1;
            continue;
        }
        for (const auto& event : request.json()) {
            delivered.push_back(event.at("sequence").get<int>());
        }
    }
    std::vector<int> expected;
    for (int i = 0; i < 50; ++i) {
        if (i != 7) {
            expected.push_back(i);
        }
    }
    EXPECT_EQ(delivered, expected);
    EXPECT_LE(refused, 6u) << "halving finds the one event in a few requests";
    // Once the refused event is out, batches are whole again.
    ASSERT_LT(afterLastRefused, requests.size());
    EXPECT_EQ(requests[afterLastRefused].json().size(), 20u);
}

// A failure that says nothing about the body (the service down, the key refused, a wrong address) keeps the
// events and holds the sender back: one interval after the first failure, doubling with each further one up to
// five minutes, back to nothing once the service takes a batch. A caller's flush() is not held back.
TEST(EventQueue, FailedSendsBackOffDoublingUpToFiveMinutesAndSuccessEndsIt) {
    sdktest::TestStorage test;
    auto now = std::chrono::steady_clock::time_point(std::chrono::hours(100));
    std::vector<int> answers = {503, 401, 403, 404, 500, 0, 502, 401, 401, 401, 401, 401, 200, 401};
    std::size_t next = 0;
    Queue queue(
        "q", 100, 10.0, 100, false,
        [&](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) -> bool {
            const int status = answers.at(next++);
            if (status == 0) {
                throw TransportError::networkError("Connection refused");
            }
            if (status != 200) {
                throw TransportError::httpError(status, std::nullopt);
            }
            return true;
        },
        test.storage, [&now] { return now; });
    queue.enqueue(events(0, 3));
    const std::vector<int> holds = {10, 20, 40, 80, 160, 300, 300, 300, 300, 300, 300, 300};
    for (const int hold : holds) {
        queue.flush();
        EXPECT_EQ(queue.events(), events(0, 3)) << "kept after failure " << next;
        EXPECT_EQ(queue.nextSendTime(), now + std::chrono::seconds(hold)) << "after failure " << next;
        now += 1s;
    }
    queue.flush(); // 200
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_LE(queue.nextSendTime(), now);
    queue.enqueue(sdktest::event(3));
    queue.flush(); // 401 again: the hold starts over
    EXPECT_EQ(queue.nextSendTime(), now + 10s);
    EXPECT_EQ(next, answers.size());
}

// While the hold lasts the sender sends nothing, however many events arrive; when it ends the sender sends the
// kept events again by itself.
TEST(EventQueue, TheSenderWaitsOutTheHoldAndThenRetriesByItself) {
    sdktest::TestStorage test;
    std::atomic<int> sends{0};
    std::atomic<bool> up{false};
    std::mutex mutex;
    std::vector<int> delivered;
    Queue queue(
        "q", 1, 1.0, 100, false,
        [&](const std::vector<TestEvent>& batch, std::stop_token, std::chrono::steady_clock::time_point) -> bool {
            sends.fetch_add(1);
            if (!up) {
                throw TransportError::unauthorized();
            }
            std::lock_guard lock(mutex);
            for (const auto& event : batch) {
                delivered.push_back(event.sequence);
            }
            return true;
        },
        test.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    ASSERT_TRUE(eventually([&] { return sends.load() == 1; }));
    const auto held = queue.nextSendTime();
    for (int i = 1; i < 20; ++i) {
        queue.enqueue(sdktest::event(i));
    }
    // Only an absence can be checked here; it is checked up to the end of the hold at the most.
    std::this_thread::sleep_until(std::min(held, std::chrono::steady_clock::now() + 300ms));
    if (std::chrono::steady_clock::now() < held) {
        EXPECT_EQ(sends.load(), 1) << "size triggers wait for the hold";
    }
    up = true;
    ASSERT_TRUE(eventually([&] { return queue.count() == 0; }, 10000ms));
    EXPECT_LE(queue.nextSendTime(), std::chrono::steady_clock::now());
    queue.stopAutoFlush();
    std::lock_guard lock(mutex);
    EXPECT_EQ(delivered, std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
}

// A flush sends what was queued when it began, not what is recorded while it sends: a queue at its cap whose
// oldest events are pushed out by new ones as fast as it sends is done once its own events are gone.
TEST(EventQueue, AFlushSendsWhatWasQueuedWhenItBeganNotWhatIsRecordedMeanwhile) {
    sdktest::TestStorage test;
    std::vector<std::vector<TestEvent>> batches;
    Queue* queuePointer = nullptr;
    int recorded = 100;
    Queue queue(
        "q", 1, 30.0, 10, false,
        [&](const std::vector<TestEvent>& batch, std::stop_token, std::chrono::steady_clock::time_point) {
            batches.push_back(batch);
            for (int i = 0; i < 5; ++i) { // recording goes on during the send
                queuePointer->enqueue(sdktest::event(recorded++));
            }
            return true;
        },
        test.storage);
    queuePointer = &queue;
    queue.enqueue(events(0, 10));
    queue.flush();
    ASSERT_FALSE(batches.empty());
    for (const auto& batch : batches) {
        for (const auto& event : batch) {
            EXPECT_LT(event.sequence, 10) << "recorded after the flush began";
        }
    }
    EXPECT_FALSE(queue.events().empty()) << "what was recorded meanwhile waits for the next flush";
}
