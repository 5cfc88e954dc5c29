#include "platform/qt/MainQueue.h"

#include <QObject>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "tests/support/qt/EventLoop.h"

using namespace std::chrono_literals;

namespace {

TEST(MainQueue, RunsQueuedWorkLaterOnTheGuiThread) {
    QObject context;
    bool ran = false;
    platform::runOnMainQueue(&context, [&] { ran = true; });
    EXPECT_FALSE(ran) << "work must never run inside the call";
    qbtest::drainEvents();
    EXPECT_TRUE(ran);
}

TEST(MainQueue, WorkFromAWorkerThreadRunsOnTheGuiThread) {
    QObject context;
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> ran{false};
    std::thread worker([&] {
        platform::runOnMainQueue(&context, [&] {
            ranOnMain = platform::isMainThread();
            ran = true;
        });
    });
    worker.join();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return ran.load(); }));
    EXPECT_TRUE(ranOnMain);
}

TEST(MainQueue, WorkForADestroyedContextIsDropped) {
    bool ran = false;
    {
        auto context = std::make_unique<QObject>();
        platform::runOnMainQueue(context.get(), [&] { ran = true; });
        platform::runOnMainQueueAfter(5ms, context.get(), [&] { ran = true; });
    }
    qbtest::processEventsUntil([] { return false; }, 50ms);
    EXPECT_FALSE(ran);
}

TEST(MainQueue, DelayedWorkWaitsForItsDelay) {
    QObject context;
    QElapsedTimer timer;
    timer.start();
    qint64 ranAfter = -1;
    platform::runOnMainQueueAfter(60ms, &context, [&] { ranAfter = timer.elapsed(); });
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return ranAfter >= 0; }));
    EXPECT_GE(ranAfter, 55);
}

TEST(MainQueue, DelayedWorkScheduledFromAWorkerRunsOnTheGuiThread) {
    QObject context;
    std::atomic<bool> ran{false};
    std::atomic<bool> onMain{false};
    std::thread worker([&] {
        platform::runOnMainQueueAfter(10ms, &context, [&] {
            onMain = platform::isMainThread();
            ran = true;
        });
    });
    worker.join();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onMain);
}

TEST(MainQueue, IsMainThreadIsFalseOnWorkers) {
    EXPECT_TRUE(platform::isMainThread());
    bool onWorker = true;
    std::thread([&] { onWorker = platform::isMainThread(); }).join();
    EXPECT_FALSE(onWorker);
}

} // namespace
