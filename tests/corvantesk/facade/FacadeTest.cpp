#include "Corvantesk/Corvantesk.h"
#include "Corvantesk/health/CrashHandler.h"
#include "Corvantesk/health/FatalSignals.h"
#include "platform/core/SerialWorker.h"
#include "platform/core/SignalStack.h"
#include "tests/corvantesk/health/ChildProcess.h"
#include "tests/support/FsyncProbe.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace corvantesk {
namespace {

using namespace std::chrono_literals;
using testing::runInChild;

std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// Counts what the client asks of the UI layer.
class RecordingHooks : public PlatformHooks {
public:
    void installAutoTracker(const AutoTrackingSettings& settings) override {
        ++installs;
        lastSettings = settings;
    }
    void uninstallAutoTracker() override { ++uninstalls; }
    void startLifecycleObserving() override { ++lifecycleStarts; }
    void stopLifecycleObserving() override { ++lifecycleStops; }

    std::atomic<int> installs{0};
    std::atomic<int> uninstalls{0};
    std::atomic<int> lifecycleStarts{0};
    std::atomic<int> lifecycleStops{0};
    AutoTrackingSettings lastSettings;
};

class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_unique<platform::UserDefaults>(qbtest::IsolatedHome::root() / "defaults.json");
        storage_ = std::make_unique<Storage>(*defaults_, qbtest::IsolatedHome::root() / "Corvantesk");
        options_ = CorvanteskOptions::make("app.test", "secret");
        options_.baseUrl = server_->baseUrl();
        options_.flushInterval = 3600;
        options_.health.enableHeartbeat = false;
        options_.health.captureDeviceState = false;
    }
    void TearDown() override { Corvantesk::shutdown(1s); }

    ClientEnvironment environment() {
        ClientEnvironment environment;
        environment.storage = storage_.get();
        environment.hooks = hooks_;
        return environment;
    }

    // The messages of the health events the server received, in order.
    std::vector<std::string> sentHealthMessages() const {
        std::vector<std::string> messages;
        for (const auto& request : server_->requests()) {
            if (request.path == "/api/v1/health/events") {
                const auto body = request.json();
                for (const auto& event : body["events"]) {
                    messages.push_back(event["message"]);
                }
            }
        }
        return messages;
    }

    // Forked children must not inherit a server thread that may hold an allocator lock (sanitizer builds), so
    // tests that fork stop the server first and start a new one afterwards.
    void stopServer() { server_.reset(); }
    void startServer() {
        server_.emplace();
        options_.baseUrl = server_->baseUrl();
    }

    std::optional<qbtest::LoopbackHttpServer> server_{std::in_place};
    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<Storage> storage_;
    CorvanteskOptions options_;
    std::shared_ptr<RecordingHooks> hooks_ = std::make_shared<RecordingHooks>();
};

TEST_F(FacadeTest, WithoutAClientEveryCallIsHarmless) {
    ASSERT_FALSE(Corvantesk::isInitialized());
    EXPECT_EQ(Corvantesk::sharedOrNil(), nullptr);
    Corvantesk::track("app_launched", "lifecycle");
    Corvantesk::trackScreen("Inbox");
    Corvantesk::trackClick("save");
    Corvantesk::log("hello");
    Corvantesk::logError("bad");
    Corvantesk::captureError("failed");
    Corvantesk::captureError(std::runtime_error("failed"));
    Corvantesk::addBreadcrumb(Breadcrumb::user("tap"));
    Corvantesk::addNavigationBreadcrumb("A", "B");
    Corvantesk::setUserId(std::string("u"));
    Corvantesk::setConsent(true);
    Corvantesk::start();
    Corvantesk::shutdown();
    EXPECT_EQ(Corvantesk::sessionId(), "");
    EXPECT_EQ(Corvantesk::userId(), std::nullopt);
    EXPECT_FALSE(Corvantesk::consent());
    EXPECT_FALSE(Corvantesk::hasMadeConsentChoice());
    EXPECT_FALSE(Corvantesk::isTest());

    auto feedback = Corvantesk::feedback();
    ASSERT_NE(feedback, nullptr);
    // Watches the working folder, where settings with no file of their own would once have been written.
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(::inotify_add_watch(watcher, std::filesystem::current_path().c_str(), IN_CREATE | IN_MODIFY), 0);
    const auto result = feedback->submitGeneralFeedback("Works well");
    char events[4096];
    const bool createdNothing = ::read(watcher, events, sizeof events) < 0;
    ::close(watcher);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "The feedback service is not configured.");
    EXPECT_EQ(feedback->submitGeneralFeedback("  \n").error, "Message cannot be empty");
    EXPECT_EQ(server_->requestCount(), 0u);
    EXPECT_TRUE(createdNothing) << "feedback without a client touches no file";

    ::testing::internal::CaptureStdout();
    Corvantesk::setTestMode();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[Corvantesk] Warning: setTestMode() should be called before initialization. Set isTest in "
              "CorvanteskOptions instead.\n");
}

TEST_F(FacadeTest, InitialiseStartTrackAndFlushEndToEnd) {
    ::testing::internal::CaptureStdout();
    Corvantesk::initialize(options_, environment());
    ASSERT_TRUE(Corvantesk::isInitialized());
    Corvantesk::start();
    Corvantesk::track("app_launched", "lifecycle");
    Corvantesk::track("database_loaded", "scaling", AnyMap{{"conversations", 12}});
    Corvantesk::logWarning("slow load", std::string("store"));
    Corvantesk::captureError("could not read attachment");
    Corvantesk::setUserId(std::string("user-9"));
    EXPECT_EQ(Corvantesk::userId(), "user-9");
    EXPECT_EQ(Corvantesk::sessionId().size(), 36u);
    Corvantesk::sharedOrNil()->flush();
    // With debug off the SDK prints nothing.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    nlohmann::json analytics;
    nlohmann::json health;
    for (const auto& request : server_->requests()) {
        if (request.path == "/api/v1/analytics/events") {
            analytics = request.json();
        } else if (request.path == "/api/v1/health/events") {
            health = request.json();
        }
    }
    ASSERT_EQ(analytics["events"].size(), 2u);
    EXPECT_EQ(analytics["events"][0]["eventType"], "app_launched");
    EXPECT_EQ(analytics["events"][0]["category"], "lifecycle");
    EXPECT_EQ(analytics["events"][0].count("screen"), 0u);
    EXPECT_EQ(analytics["events"][1]["properties"]["conversations"], 12);
    EXPECT_EQ(analytics["events"][0]["sessionId"], Corvantesk::sessionId());
    EXPECT_EQ(analytics["userId"], "user-9");
    ASSERT_EQ(health["events"].size(), 1u);
    EXPECT_EQ(health["events"][0]["message"], "could not read attachment");
    EXPECT_EQ(health["events"][0]["metadata"]["logs"][0]["message"], "slow load");

    auto feedback = Corvantesk::feedback();
    server_->pushReply({201, {}, R"({"feedbackId": 77})"});
    const auto result = feedback->submitBugReport("It broke", std::nullopt, std::string("FeedbackView"));
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.feedbackId, 77);

    Corvantesk::shutdown();
    EXPECT_FALSE(Corvantesk::isInitialized());
}

TEST_F(FacadeTest, StartOrderAndSwitches) {
    Corvantesk::initialize(options_, environment());
    Corvantesk::start();
    Corvantesk::start();
    EXPECT_EQ(hooks_->installs, 1);
    EXPECT_EQ(hooks_->lifecycleStarts, 1);
    EXPECT_TRUE(CrashHandler::shared().isInstalledBy(&Corvantesk::sharedOrNil()->health()));
    Corvantesk::shutdown();
    EXPECT_EQ(hooks_->uninstalls, 1);
    EXPECT_EQ(hooks_->lifecycleStops, 1);
    EXPECT_FALSE(CrashHandler::shared().isInstalled());

    // Analytics off: no automatic tracker, but life-cycle observing still starts.
    options_.analytics.enabled = false;
    options_.debug = true;
    Corvantesk::initialize(options_, environment());
    ::testing::internal::CaptureStdout();
    Corvantesk::start();
    const auto printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(hooks_->installs, 1);
    EXPECT_EQ(hooks_->lifecycleStarts, 2);
    EXPECT_NE(printed.find("[Corvantesk] SDK started (appId: app.test, test: false, autoTracking: true)"),
              std::string::npos);

    // A client that was never started shuts down without touching the UI layer.
    CorvanteskClient idle(options_, environment());
    idle.shutdown();
    EXPECT_EQ(hooks_->uninstalls, 1);
}

TEST_F(FacadeTest, ReinitialisingWhileRunningLeaksNoThreadAndKeepsTheCrashHandler) {
    Corvantesk::initialize(options_, environment());
    Corvantesk::start();
    const auto runningThreads = threadCount();
    for (int i = 0; i < 5; ++i) {
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
    }
    // A joined thread can linger in /proc for a moment on a busy machine; a leaked one stays.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (threadCount() > runningThreads && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(threadCount(), runningThreads);
    auto client = Corvantesk::sharedOrNil();
    EXPECT_TRUE(CrashHandler::shared().isInstalledBy(&client->health()));
    EXPECT_TRUE(FatalSignals::isInstalled());
}

// While a new client loads the queue files, the old one is out of reach: an event tracked then cannot land in
// the old queue and later be overwritten by the new one. Events the old client held reach the new one.
TEST_F(FacadeTest, ReinitialisingHidesTheOldClientBeforeTheNewOneLoads) {
    server_->setDefaultReply({503, {}, R"({"error":"down"})"}); // everything stays queued
    Corvantesk::initialize(options_, environment());
    Corvantesk::start();
    Corvantesk::track("before", "test");
    Corvantesk::captureError("before");

    std::atomic<int> reachableDuringLoad{0};
    std::atomic<bool> loading{true};
    auto environmentWithProbe = environment();
    auto system = SessionClock::system();
    // The session manager reads the clock while the new client is being built, after the health queue loaded.
    environmentWithProbe.clock.wallNow = [&reachableDuringLoad, &loading, system] {
        if (loading && Corvantesk::isInitialized()) {
            ++reachableDuringLoad;
            Corvantesk::track("between", "test");
        }
        return system.wallNow();
    };
    Corvantesk::initialize(options_, environmentWithProbe);
    loading = false;
    EXPECT_EQ(reachableDuringLoad.load(), 0);
    Corvantesk::track("after", "test");

    auto client = Corvantesk::sharedOrNil();
    std::vector<std::string> types;
    for (const auto& event : client->analytics().pendingEvents()) {
        types.push_back(event.eventType);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(client->health().pendingEvents().size(), 1u);
    // Until the new client starts, its new event waits in memory; its writer then saves both.
    EXPECT_EQ(storage_->loadOfflineJson("analytics").size(), 1u);
    Corvantesk::start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (storage_->loadOfflineJson("analytics").size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(storage_->loadOfflineJson("analytics").size(), 2u);
}

// The program initialises on its GUI thread before the first window: that thread must not wait for the disk.
TEST_F(FacadeTest, InitializeWaitsForNoWriteOnTheCallingThread) {
    qbtest::FsyncProbe disk;
    Corvantesk::initialize(options_, environment());
    EXPECT_EQ(disk.callsOn(std::this_thread::get_id()), 0u);
    EXPECT_FALSE(Corvantesk::sessionId().empty());
}

// As the application does it: initialised on the main thread, started from a short-lived one. A stack
// overflow on the main thread still leaves the crash marker.
TEST_F(FacadeTest, StackOverflowOnTheMainThreadLeavesAMarkerWhenStartedElsewhere) {
    stopServer();
    auto outcome = runInChild([&] {
        Corvantesk::initialize(options_, environment());
        std::thread([] { Corvantesk::start(); }).join();
        testing::overflowTheStack();
    });
    ASSERT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGSEGV);
    const auto marker = storage_->readCrashMarker();
    ASSERT_TRUE(marker);
    EXPECT_EQ(marker->signalOrException, "SIGSEGV");
    startServer();
}

TEST_F(FacadeTest, CrashesAfterReinitialisingAreStillRecorded) {
    stopServer();
    auto signalled = runInChild([&] {
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
        ::raise(SIGILL);
    });
    ASSERT_TRUE(signalled.signaled);
    EXPECT_EQ(signalled.signal, SIGILL);
    ASSERT_TRUE(storage_->hasCrashMarker());

    auto thrown = runInChild([&] {
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
        std::thread([] { throw std::runtime_error("after re-init"); }).join();
    });
    ASSERT_TRUE(thrown.signaled);
    EXPECT_EQ(thrown.signal, SIGABRT);

    // The next start reports both: the marker of the first child (queued by the second) and the exception.
    startServer();
    Corvantesk::initialize(options_, environment());
    Corvantesk::start();
    Corvantesk::shutdown();
    EXPECT_EQ(sentHealthMessages(),
              (std::vector<std::string>{"Process received SIGILL", "std::runtime_error: after re-init"}));
    EXPECT_FALSE(storage_->hasCrashMarker());
}

TEST_F(FacadeTest, TheCrashMarkerNamesTheSessionCurrentAtTheCrash) {
    stopServer();
    auto outcome = runInChild([&] {
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
        Corvantesk::sharedOrNil()->analytics().startNewSession();
        storage_->waitForWrites(); // settings reach the disk on Storage's own thread
        ::raise(SIGSEGV);
    });
    ASSERT_TRUE(outcome.signaled);
    // The child's settings as it left them on disk.
    const auto sessionId = platform::UserDefaults(defaults_->file()).string("corvantesk_session_id");
    ASSERT_TRUE(sessionId);
    const auto marker = storage_->consumeCrashMarker();
    ASSERT_TRUE(marker);
    EXPECT_EQ(marker->sessionId, sessionId);
    EXPECT_EQ(marker->signalOrException, "SIGSEGV");
}

TEST_F(FacadeTest, ShutdownReturnsByItsDeadlineWhenTheServiceHangs) {
    server_->setDefaultReply({200, {}, "{}", "application/json", 10s});
    options_.health.enableHeartbeat = true; // its hanging request must not hold the shutdown either
    Corvantesk::initialize(options_, environment());
    Corvantesk::start();
    ASSERT_TRUE(server_->waitForRequests(1, 2s));
    Corvantesk::track("app_launched", "lifecycle");
    Corvantesk::captureError("x");
    const auto began = std::chrono::steady_clock::now();
    Corvantesk::shutdown(300ms);
    // Each request gets only the time left and every join counts against the deadline (the margin is for a
    // loaded machine).
    EXPECT_LT(std::chrono::steady_clock::now() - began, 800ms);
    EXPECT_EQ(storage_->loadOfflineJson("analytics").size(), 1u);
    EXPECT_EQ(storage_->loadOfflineJson("health").size(), 1u);
}

// Answers every request at once and notes the alternate signal stack of the thread that sent it.
class StackProbeHttpClient : public HttpClient {
public:
    HttpResponse post(const HttpRequest& request, std::stop_token) override {
        std::lock_guard lock(mutex_);
        seen_.emplace_back(request.url, platform::currentAlternateSignalStackSize());
        return {200, {}, "{}"};
    }
    std::vector<std::pair<std::string, std::size_t>> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::size_t>> seen_;
};

// Sending is where the SDK's threads run code of their own: the queues' senders, the heartbeat, an asynchronous
// feedback and the last sends of a shutdown each come from a thread the SDK started.
TEST_F(FacadeTest, EveryThreadTheSdkStartsHasAnAlternateSignalStack) {
    auto probe = std::make_shared<StackProbeHttpClient>();
    auto probed = environment();
    probed.httpClient = probe;
    options_.batchSize = 1; // each event asks the sender thread for a flush
    options_.health.enableHeartbeat = true;
    Corvantesk::initialize(options_, probed);
    Corvantesk::start();
    Corvantesk::track("app_launched", "lifecycle");
    std::promise<void> answered;
    Corvantesk::feedback()->submitAsync(FeedbackRequest::general("fine"),
                                        [&](const FeedbackResult&) { answered.set_value(); });
    answered.get_future().wait();
    for (int i = 0; i < 400 && probe->seen().size() < 3; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    Corvantesk::captureError("last"); // sent by the sender thread or by the shutdown's
    Corvantesk::shutdown();

    const auto seen = probe->seen();
    ASSERT_GE(seen.size(), 4u);
    for (const auto& [url, stackSize] : seen) {
        EXPECT_GE(stackSize, platform::kAlternateSignalStackSize) << url;
    }
}

// A network layer whose every request overflows the stack of the thread sending it.
class OverflowingHttpClient : public HttpClient {
public:
    HttpResponse post(const HttpRequest&, std::stop_token) override {
        testing::overflowTheStack();
        return {};
    }
};

// A stack overflow on the program's own loader thread and on one of the SDK's threads each leave a marker; the
// next start reports both, once each.
TEST_F(FacadeTest, StackOverflowsOnTheLoaderThreadAndOnAnSdkThreadAreReportedAtTheNextStart) {
    stopServer();
    auto loader = runInChild([&] {
        Corvantesk::initialize(options_, environment());
        Corvantesk::start();
        platform::SerialWorker historyLoader("HistoryLoader");
        historyLoader.post([](std::stop_token) { testing::overflowTheStack(); });
        std::this_thread::sleep_for(10s);
    });
    ASSERT_TRUE(loader.signaled) << "timed out: " << loader.timedOut;
    EXPECT_EQ(loader.signal, SIGSEGV);
    ASSERT_TRUE(storage_->hasCrashMarker());

    auto sdk = runInChild([&] {
        auto overflowing = environment();
        overflowing.httpClient = std::make_shared<OverflowingHttpClient>();
        options_.batchSize = 1; // the event goes at once, from the queue's sender thread
        Corvantesk::initialize(options_, overflowing);
        Corvantesk::start(); // queues the loader's crash
        Corvantesk::track("app_launched", "lifecycle");
        std::this_thread::sleep_for(10s);
    });
    ASSERT_TRUE(sdk.signaled) << "timed out: " << sdk.timedOut;
    EXPECT_EQ(sdk.signal, SIGSEGV);
    ASSERT_TRUE(storage_->hasCrashMarker());

    startServer();
    Corvantesk::initialize(options_, environment());
    Corvantesk::start();
    Corvantesk::shutdown();
    EXPECT_EQ(sentHealthMessages(), (std::vector<std::string>{"Process received SIGSEGV", "Process received SIGSEGV"}));
    EXPECT_FALSE(storage_->hasCrashMarker());
}

} // namespace
} // namespace corvantesk
