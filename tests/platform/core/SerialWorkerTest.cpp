#include "platform/core/SerialWorker.h"
#include "platform/core/SignalStack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

using platform::SerialWorker;

TEST(SerialWorker, RunsTasksInOrderOnItsOneThread) {
    SerialWorker worker("test-worker");
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(worker.post([&, i](std::stop_token) {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        }));
    }
    ASSERT_TRUE(worker.waitForIdle(std::chrono::seconds(30)));
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
        EXPECT_EQ(threads[static_cast<std::size_t>(i)], worker.threadId());
    }
    EXPECT_NE(worker.threadId(), std::this_thread::get_id());
    EXPECT_FALSE(worker.isWorkerThread());
}

TEST(SerialWorker, EndingStopsTheRunningTaskAndLetsQueuedOnesSeeTheStop) {
    std::promise<void> started;
    std::atomic<bool> runningSawStop = false;
    std::atomic<bool> queuedSawStop = false;
    std::atomic<bool> escapedTaskSurvived = false;
    SerialWorker::Poster lateHandle;
    {
        SerialWorker worker("test-worker");
        lateHandle = worker.poster();
        worker.post([&](std::stop_token stop) {
            started.set_value();
            while (!stop.stop_requested()) {
                std::this_thread::yield();
            }
            runningSawStop = true;
        });
        worker.post([](std::stop_token) { throw std::runtime_error("escapes"); });
        worker.post([&](std::stop_token stop) {
            queuedSawStop = stop.stop_requested();
            escapedTaskSurvived = true;
        });
        started.get_future().wait();
    } // joins: the running task ends once asked to, the queued ones run with the stop requested
    EXPECT_TRUE(runningSawStop);
    EXPECT_TRUE(escapedTaskSurvived) << "a throwing task does not end the worker";
    EXPECT_TRUE(queuedSawStop);
    bool ran = false;
    EXPECT_FALSE(lateHandle([&](std::stop_token) { ran = true; })) << "posting after the end is refused";
    EXPECT_FALSE(ran);
}

TEST(SerialWorker, StoppingRefusesNewTasks) {
    SerialWorker worker("test-worker");
    worker.requestStop();
    EXPECT_FALSE(worker.post([](std::stop_token) {}));
    EXPECT_FALSE(worker.poster()([](std::stop_token) {}));
    EXPECT_TRUE(worker.waitForIdle(std::chrono::seconds(30)));
}

// A task that overflows its stack can only be reported from an alternate signal stack of the worker's own.
TEST(SerialWorker, ItsThreadHasAnAlternateSignalStack) {
    SerialWorker worker("test-worker");
    std::promise<std::size_t> size;
    worker.post([&](std::stop_token) { size.set_value(platform::currentAlternateSignalStackSize()); });
    EXPECT_GE(size.get_future().get(), platform::kAlternateSignalStackSize);
}
