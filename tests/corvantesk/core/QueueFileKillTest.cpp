#include <gtest/gtest.h>

#include <future>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Corvantesk/core/EventQueue.h"
#include "platform/core/AtomicFile.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/support/FsyncProbe.h"

using namespace corvantesk;
using sdktest::TestEvent;

namespace {

[[noreturn]] void enqueueUntilKilled(int readyFd) {
    sdktest::TestStorage test;
    EventQueue<TestEvent> queue(
        "kill", 1000000, 3600.0, 1000000, false,
        [](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) { return false; },
        test.storage);
    queue.startAutoFlush(); // before the writer runs, events wait in memory
    for (int i = 0; i < 5000; ++i) {
        queue.enqueue(sdktest::event(i));
        if (i == 0) {
            queue.persist(); // on a busy machine the writer's thread may not have run yet
            const char ready = 'r';
            (void)!::write(readyFd, &ready, 1); // the parent's clock starts once the child is really enqueueing
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    ::_exit(0);
}

} // namespace

// A process killed at any moment while enqueueing leaves a queue file that parses and holds the first events
// in order: never a torn file, never a gap.
TEST(QueueFileKill, SigkillAtRandomMomentsLeavesAnIntactPrefix) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> delayMicros(0, 15000);
    int nonEmpty = 0;
    for (int round = 0; round < 50; ++round) {
        sdktest::TestStorage parent;
        parent.storage.clearOfflineEvents("kill");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            enqueueUntilKilled(ready[1]);
        }
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        ASSERT_EQ(::poll(&wait, 1, 10000), 1) << "the child never started";
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);

        const nlohmann::json file = parent.storage.loadOfflineJson("kill");
        ASSERT_TRUE(file.is_array()) << "round " << round;
        const auto events = parent.storage.loadOfflineEvents<TestEvent>("kill");
        ASSERT_EQ(events.size(), file.size()) << "every element decodes, round " << round;
        for (std::size_t i = 0; i < events.size(); ++i) {
            ASSERT_EQ(events[i], sdktest::event(static_cast<int>(i))) << "round " << round;
        }
        nonEmpty += events.empty() ? 0 : 1;
    }
    EXPECT_GT(nonEmpty, 10) << "enough kills should land after a write to test anything";
}

// Events tracked while a send hangs reach the disk during that send: a kill then loses none of them.
TEST(QueueFileKill, EventsEnqueuedDuringAHeldSendSurviveAKill) {
    sdktest::TestStorage parent;
    parent.storage.clearOfflineEvents("held");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        sdktest::TestStorage test;
        std::promise<void> sending;
        auto sendStarted = sending.get_future();
        // The first send never ends, as with a server that takes the request and never answers.
        EventQueue<TestEvent> queue(
            "held", 1, 3600.0, 1000, false,
            [&sending](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) {
                sending.set_value();
                for (;;) {
                    ::pause();
                }
                return false;
            },
            test.storage);
        queue.startAutoFlush();
        queue.enqueue(sdktest::event(0));
        sendStarted.wait();
        for (int i = 1; i < 50; ++i) {
            queue.enqueue(sdktest::event(i));
        }
        const char done = 'd';
        (void)!::write(ready[1], &done, 1);
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 10000), 1) << "the child never enqueued";
    ::close(ready[0]);
    // The writer runs on its own thread; give it a moment, as a real crash would not.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (parent.storage.loadOfflineJson("held").size() < 50 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);

    const auto events = parent.storage.loadOfflineEvents<TestEvent>("held");
    ASSERT_EQ(events.size(), 50u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i], sdktest::event(static_cast<int>(i)));
    }
}

// A slow disk holds up no event. While every fsync waits, those of a whole rewrite of the queue file included,
// events keep reaching the files and a kill loses none of them; once the disk answers, the rewritten file takes
// its place and the events after it follow it. The child asks the files how far they are at each step.
TEST(QueueFileKill, EventsKeepReachingTheFilesWhileTheDiskHoldsItsSyncs) {
    sdktest::TestStorage parent;
    parent.storage.clearOfflineEvents("slow");
    // About 230 bytes a record: 600 events outgrow the 64 KiB after which the journal is folded into the file.
    const auto event = [](int i) { return TestEvent{std::string(200, 'e') + std::to_string(i), i}; };
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        qbtest::FsyncProbe disk;
        disk.hold();
        sdktest::TestStorage test;
        EventQueue<TestEvent> queue(
            "slow", 1000000, 3600.0, 1000000, false,
            [](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) { return false; },
            test.storage);
        queue.startAutoFlush();
        int next = 0;
        const auto waitFor = [&](const std::function<bool()>& condition) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!condition() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return condition();
        };
        const auto enqueueAndWait = [&](int count) {
            for (; next < count; ++next) {
                queue.enqueue(event(next));
            }
            return waitFor(
                [&] { return test.storage.loadOfflineJson("slow").size() >= static_cast<std::size_t>(count); });
        };
        if (!enqueueAndWait(600) || !enqueueAndWait(800)) {
            ::_exit(1); // the files stopped while a sync was held
        }
        disk.release();
        const bool rewritten = waitFor([&] {
            const auto text = platform::readFile(test.storage.offlineFilePath("slow"));
            const auto file = nlohmann::json::parse(text.value_or(""), nullptr, false);
            return file.is_array() && !file.empty(); // no queue file was written before the rewrite
        });
        if (!rewritten) {
            ::_exit(2);
        }
        if (!enqueueAndWait(1000)) {
            ::_exit(3);
        }
        (void)!::write(ready[1], "d", 1);
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    const bool done = ::poll(&wait, 1, 90000) == 1 && (wait.revents & POLLIN) != 0;
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(done) << "the child stopped at step " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                      << " (1: the files stopped while a sync was held; 2: the rewrite never took its place; 3: "
                         "events after it did not reach the files)";

    const auto events = parent.storage.loadOfflineEvents<TestEvent>("slow");
    ASSERT_EQ(events.size(), 1000u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        ASSERT_EQ(events[i], event(static_cast<int>(i)));
    }
}
