#include "Corvantesk/analytics/SessionManager.h"
#include "Corvantesk/core/Storage.h"
#include "tests/support/FsyncProbe.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace corvantesk {
namespace {

// Wall and monotonic time that only move when the test says so.
struct FakeClock {
    platform::AbsoluteTime wall{800'000'000.0};
    std::chrono::steady_clock::time_point monotonic{std::chrono::hours(1000)};

    void advance(double seconds) {
        wall.secondsSinceReferenceDate += seconds;
        monotonic +=
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    SessionClock clock() {
        return {[this] { return wall; }, [this] { return monotonic; }};
    }
};

class SessionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_unique<platform::UserDefaults>(qbtest::IsolatedHome::root() / "defaults.json");
        storage_ = std::make_unique<Storage>(*defaults_, qbtest::IsolatedHome::root() / "Corvantesk");
    }
    std::unique_ptr<SessionManager> make(double timeout = 1800.0) {
        return std::make_unique<SessionManager>(*storage_, timeout, clock_.clock(),
                                                [this](const std::string& id) { published_.push_back(id); });
    }

    FakeClock clock_;
    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<Storage> storage_;
    std::vector<std::string> published_;
};

TEST_F(SessionManagerTest, FirstManagerOfAProcessStartsFreshAndPersists) {
    storage_->setSessionId(std::string("OLD-SESSION"));
    storage_->setSessionStart(platform::AbsoluteTime{clock_.wall.secondsSinceReferenceDate - 5});
    storage_->setLastActivity(platform::AbsoluteTime{clock_.wall.secondsSinceReferenceDate - 2});

    auto manager = make();
    const std::string id = manager->sessionId();
    EXPECT_NE(id, "OLD-SESSION");
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(storage_->sessionId(), id);
    EXPECT_EQ(storage_->sessionStart(), clock_.wall);
    EXPECT_EQ(storage_->lastActivity(), clock_.wall);
    EXPECT_EQ(storage_->storedLaunchId(), Storage::currentLaunchId());
    EXPECT_EQ(published_, std::vector<std::string>{id});
}

// The launch's new session is made on the program's GUI thread: it is stored as one change of the settings file,
// written on Storage's own thread.
TEST_F(SessionManagerTest, ANewSessionIsStoredInOneWriteOffTheCallingThread) {
    qbtest::FsyncProbe disk;
    auto manager = make();
    ASSERT_TRUE(storage_->waitForWrites());
    EXPECT_EQ(disk.callsOn(std::this_thread::get_id()), 0u);
    EXPECT_EQ(disk.calls(), 2u) << "one atomic write: the file, then its folder";
    const platform::UserDefaults onDisk(defaults_->file());
    EXPECT_EQ(onDisk.string("corvantesk_session_id"), manager->sessionId());
    EXPECT_EQ(onDisk.string("corvantesk_launch_id"), Storage::currentLaunchId());
}

// The queue's writer thread stores the last activity now and then; a tracking call meanwhile (which touches the
// session) must not wait for that write to reach the disk.
TEST_F(SessionManagerTest, ATouchNeverWaitsForTheLastActivityToReachTheDisk) {
    auto manager = make();
    ASSERT_TRUE(storage_->waitForWrites());
    clock_.advance(10);
    manager->touch();
    qbtest::FsyncProbe disk;
    disk.hold(); // a disk that does not answer
    std::thread writer([&] { manager->persistActivity(); });
    ASSERT_TRUE(disk.waitForHeldCall(std::chrono::seconds(5)));
    auto touched = std::async(std::launch::async, [&] { manager->touch(); });
    EXPECT_EQ(touched.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "a touch waited for the disk";
    disk.release();
    writer.join();
}

TEST_F(SessionManagerTest, SecondManagerInTheSameProcessContinuesTheSession) {
    auto first = make();
    const std::string id = first->sessionId();
    const auto start = first->sessionStart();
    clock_.advance(100);
    first->touch();
    first->persistActivity(); // as its client does on stopping
    clock_.advance(50);

    auto second = make();
    EXPECT_EQ(second->sessionId(), id);
    EXPECT_EQ(second->sessionStart(), start);
    EXPECT_DOUBLE_EQ(second->sessionDuration(), 150.0);
    // Idle time carries over: 50 s already passed, so 1751 more rotate it.
    clock_.advance(1750);
    EXPECT_EQ(second->sessionId(), id);
    clock_.advance(1.5);
    EXPECT_NE(second->sessionId(), id);
}

// A touch (every tracking call) writes nothing; the last activity is stored at most every few seconds by the
// queue's writer thread, and at once when a session starts or rotates.
TEST_F(SessionManagerTest, TouchKeepsActivityInMemoryAndItIsStoredAtAPace) {
    auto manager = make(1800.0);
    const auto started = clock_.wall;
    manager->persistActivityIfDue(); // nothing new since the start was stored
    clock_.advance(10);
    manager->touch();
    EXPECT_EQ(storage_->lastActivity(), started) << "a touch stores nothing";

    const auto immediately = manager->persistActivityIfDue();
    EXPECT_EQ(storage_->lastActivity(), started) << "the start was stored a moment ago";
    EXPECT_NE(immediately, std::chrono::steady_clock::time_point::max());
    EXPECT_LE(immediately - std::chrono::steady_clock::now(), SessionManager::kActivityStoreInterval);

    manager->persistActivity();
    EXPECT_EQ(storage_->lastActivity(), clock_.wall);
    EXPECT_EQ(manager->persistActivityIfDue(), std::chrono::steady_clock::time_point::max());

    clock_.advance(1801);
    manager->touch(); // rotates: the new session is stored at once
    EXPECT_EQ(storage_->sessionId(), manager->sessionId());
    EXPECT_EQ(storage_->lastActivity(), clock_.wall);
}

TEST_F(SessionManagerTest, SecondManagerWithoutUsableStoredValuesStartsFresh) {
    auto first = make();
    const std::string id = first->sessionId();
    storage_->defaults().setDouble("corvantesk_session_start", 0.0);
    auto second = make();
    EXPECT_NE(second->sessionId(), id);

    storage_->defaults().remove("corvantesk_last_activity");
    auto third = make();
    EXPECT_NE(third->sessionId(), second->sessionId());
}

TEST_F(SessionManagerTest, TouchAtExactlyTheTimeoutKeepsTheSessionOneSecondMoreRotatesIt) {
    auto manager = make(1800.0);
    const std::string id = manager->sessionId();
    clock_.advance(1800.0);
    manager->touch();
    EXPECT_EQ(manager->sessionId(), id);

    clock_.advance(1801.0);
    manager->touch();
    const std::string rotated = manager->sessionId();
    EXPECT_NE(rotated, id);
    EXPECT_EQ(manager->sessionStart(), clock_.wall);
    EXPECT_EQ(storage_->sessionStart(), storage_->lastActivity());
    EXPECT_EQ(published_.back(), rotated);
}

// Activity, not age, ends a session: 2,000 s after the start is past the timeout, but only 1,000 s after the touch.
TEST_F(SessionManagerTest, ATouchKeepsTheSessionAlive) {
    auto manager = make(1800.0);
    const std::string id = manager->sessionId();
    clock_.advance(1000);
    manager->touch();
    clock_.advance(1000);
    EXPECT_EQ(manager->sessionId(), id);
    EXPECT_FALSE(manager->isSessionExpired());
}

TEST_F(SessionManagerTest, ExpiryIsReportedWithoutRotatingUntilTheIdIsRead) {
    auto manager = make(60.0);
    const std::string id = manager->sessionId();
    clock_.advance(61);
    EXPECT_TRUE(manager->isSessionExpired());
    EXPECT_EQ(storage_->sessionId(), id);
    EXPECT_NE(manager->sessionId(), id);
    EXPECT_FALSE(manager->isSessionExpired());
}

TEST_F(SessionManagerTest, WallClockJumpsDoNotEndASession) {
    auto manager = make(60.0);
    const std::string id = manager->sessionId();
    clock_.wall.secondsSinceReferenceDate += 100000; // the user sets the clock forward
    EXPECT_EQ(manager->sessionId(), id);
}

TEST_F(SessionManagerTest, SetSessionKeepsTheStartAndNewSessionResetsIt) {
    auto manager = make();
    const auto start = manager->sessionStart();
    clock_.advance(10);
    manager->setSession("CALLER-SESSION");
    EXPECT_EQ(manager->sessionId(), "CALLER-SESSION");
    EXPECT_EQ(manager->sessionStart(), start);
    EXPECT_EQ(storage_->sessionId(), "CALLER-SESSION");
    EXPECT_EQ(storage_->lastActivity(), clock_.wall);

    clock_.advance(10);
    const std::string fresh = manager->startNewSession();
    EXPECT_NE(fresh, "CALLER-SESSION");
    EXPECT_EQ(manager->sessionStart(), clock_.wall);
    EXPECT_DOUBLE_EQ(manager->sessionDuration(), 0.0);
}

TEST_F(SessionManagerTest, UnusableTimeoutsFallBackToTheDefault) {
    for (double timeout : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_DOUBLE_EQ(make(timeout)->sessionTimeout(), 1800.0);
    }
    EXPECT_DOUBLE_EQ(make(1e12)->sessionTimeout(), 86400.0);
}

} // namespace
} // namespace corvantesk
