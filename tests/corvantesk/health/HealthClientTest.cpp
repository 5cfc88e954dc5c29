#include "Corvantesk/health/HealthClient.h"
#include "Corvantesk/health/CrashHandler.h"
#include "Corvantesk/health/FatalSignals.h"
#include "tests/corvantesk/health/ChildProcess.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>

namespace corvantesk {
namespace {

using namespace std::chrono_literals;
using testing::runInChild;

class HealthClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_unique<platform::UserDefaults>(qbtest::IsolatedHome::root() / "defaults.json");
        storage_ = std::make_unique<Storage>(*defaults_, qbtest::IsolatedHome::root() / "Corvantesk");
        options_ = CorvanteskOptions::make("app.test", "secret");
        options_.baseUrl = server_->baseUrl();
        options_.environment = "staging";
        options_.flushInterval = 3600; // only explicit flushes
        options_.batchSize = 100;
        options_.health.enableHeartbeat = false;
        options_.health.captureDeviceState = false;
    }

    std::unique_ptr<HealthClient> makeClient() {
        auto transport = std::make_shared<HttpTransport>(options_.baseUrl, options_.appId, options_.apiKey, false);
        return std::make_unique<HealthClient>(options_, transport, *storage_);
    }

    std::vector<nlohmann::json> sentEvents() const {
        std::vector<nlohmann::json> events;
        for (const auto& request : server_->requests()) {
            if (request.path == "/api/v1/health/events") {
                const auto body = request.json();
                for (const auto& event : body["events"]) {
                    events.push_back(event);
                }
            }
        }
        return events;
    }

    std::size_t heartbeatCount() const {
        std::size_t count = 0;
        for (const auto& request : server_->requests()) {
            count += request.path == "/api/v1/health/heartbeat" ? 1 : 0;
        }
        return count;
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
};

TEST_F(HealthClientTest, CapturesAreEnrichedQueuedAndSentAsOneBatch) {
    storage_->setUserId(std::string("user-1"));
    auto client = makeClient();
    client->addNavigationBreadcrumb("Inbox", "Export");
    client->logWarning("slow disk", std::string("io"));
    client->captureError("export failed");
    client->captureWarning("low space", AnyMap{{"free", 12}});
    client->flush();

    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto body = requests.front().json();
    EXPECT_EQ(requests.front().header("X-API-Key"), "secret");
    EXPECT_EQ(body["appIdentifier"], "app.test");
    EXPECT_EQ(body["environment"], "staging");
    EXPECT_EQ(body["userId"], "user-1");
    EXPECT_EQ(body["isTest"], false);
    EXPECT_EQ(body["deviceInfo"]["platform"], "linux");
    EXPECT_EQ(body["deviceInfo"]["deviceId"], storage_->deviceId());
    ASSERT_EQ(body["events"].size(), 2u);
    const auto& error = body["events"][0];
    EXPECT_EQ(error["level"], "error");
    EXPECT_EQ(error["message"], "export failed");
    EXPECT_EQ(error["metadata"]["breadcrumbs"][0]["message"], "Navigated from Inbox to Export");
    EXPECT_TRUE(error["metadata"]["breadcrumbs"][0]["timestamp"].is_string());
    EXPECT_EQ(error["metadata"]["logs"][0]["tag"], "io");
    EXPECT_EQ(error["metadata"].count("deviceState"), 0u);
    EXPECT_EQ(body["events"][1]["metadata"]["free"], 12);
    EXPECT_TRUE(client->pendingEvents().empty());
}

TEST_F(HealthClientTest, PreparationRulesForCallerEventsAndErrors) {
    options_.health.captureDeviceState = true;
    auto client = makeClient();
    client->captureError("plain");
    HealthEvent own = HealthEvent::info("mine");
    own.breadcrumbs = std::vector<Breadcrumb>{Breadcrumb::user("kept")};
    own.deviceModel = "stale";
    client->addBreadcrumb("system", "buffered");
    client->capture(own);
    std::invalid_argument bad("bad argument");
    client->captureError("with error", &bad, AnyMap{{"errorType", "caller"}});

    const auto pending = client->pendingEvents();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[0].metadata, AnyMap{});
    EXPECT_FALSE(pending[0].breadcrumbs);
    EXPECT_TRUE(pending[0].deviceState);
    ASSERT_TRUE(pending[1].breadcrumbs);
    ASSERT_EQ(pending[1].breadcrumbs->size(), 1u);
    EXPECT_EQ(pending[1].breadcrumbs->front().message, "kept");
    EXPECT_NE(pending[1].deviceModel, "stale");
    EXPECT_EQ(pending[2].metadata->at("errorType"), AnyCodable("std::invalid_argument"));
    EXPECT_EQ(pending[2].metadata->at("errorDescription"), AnyCodable("bad argument"));
}

// The device state comes from /proc and /sys: an error report (often on the GUI thread) leaves reading it to the
// client's own thread, and the events keep their order.
TEST_F(HealthClientTest, CapturesReadTheDeviceStateOffTheCallersThread) {
    options_.health.captureDeviceState = true;
    std::mutex mutex;
    std::vector<std::thread::id> readers;
    auto transport = std::make_shared<HttpTransport>(options_.baseUrl, options_.appId, options_.apiKey, false);
    HealthClient client(options_, transport, *storage_, [&] {
        std::lock_guard lock(mutex);
        readers.push_back(std::this_thread::get_id());
        DeviceState state;
        state.threadCount = 7;
        return state;
    });
    client.addUserBreadcrumb("before the first");
    client.captureError("first");
    client.addUserBreadcrumb("before the second");
    client.captureWarning("second");
    const auto pending = client.pendingEvents();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].message, "first");
    EXPECT_EQ(pending[1].message, "second");
    ASSERT_TRUE(pending[0].deviceState);
    EXPECT_EQ(pending[0].deviceState->threadCount, 7);
    ASSERT_TRUE(pending[0].breadcrumbs);
    EXPECT_EQ(pending[0].breadcrumbs->size(), 1u) << "the trail as it was at the capture";
    std::lock_guard lock(mutex);
    ASSERT_EQ(readers.size(), 2u);
    for (const auto& reader : readers) {
        EXPECT_NE(reader, std::this_thread::get_id());
    }
}

TEST_F(HealthClientTest, NetworkErrorBreadcrumbJoinsLaterEventsOnly) {
    auto client = makeClient();
    client->captureNetworkError("https://x.test/sync", 503);
    client->captureInfo("later");
    const auto pending = client->pendingEvents();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_FALSE(pending[0].breadcrumbs);
    ASSERT_TRUE(pending[1].breadcrumbs);
    const auto& crumb = pending[1].breadcrumbs->front();
    EXPECT_EQ(crumb.message, "? https://x.test/sync");
    EXPECT_EQ(crumb.data, (AnyMap{{"method", "?"}, {"url", "https://x.test/sync"}, {"statusCode", 503}}));
}

// A heartbeat goes out at once; a tiny interval is raised to ten seconds, so a server is never flooded.
TEST_F(HealthClientTest, HeartbeatsStartAtOnceKeepTheirMinimumIntervalAndStopWithTheClient) {
    options_.health.enableHeartbeat = true;
    options_.health.heartbeatInterval = 0.01;
    auto client = makeClient();
    client->start();
    ASSERT_TRUE(server_->waitForRequests(1, 2s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(heartbeatCount(), 1u);
    const auto first = server_->requests().front();
    EXPECT_EQ(first.path, "/api/v1/health/heartbeat");
    EXPECT_EQ(first.json()["appIdentifier"], "app.test");
    EXPECT_TRUE(first.json().contains("device_id"));
    client->stop();
    const auto count = heartbeatCount();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(heartbeatCount(), count);
}

TEST_F(HealthClientTest, NoHeartbeatWhenDisabledAndStartStopAreIdempotent) {
    auto client = makeClient();
    client->stop(); // never started: nothing
    client->start();
    client->start();
    EXPECT_TRUE(client->isRunning());
    EXPECT_TRUE(CrashHandler::shared().isInstalledBy(client.get()));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(heartbeatCount(), 0u);
    client->stop();
    EXPECT_FALSE(client->isRunning());
    EXPECT_FALSE(CrashHandler::shared().isInstalled());
}

TEST_F(HealthClientTest, MarkerFromThePreviousRunBecomesExactlyOneCrashEvent) {
    storage_->makeCrashMarkerWriter().write(1'700'000'000.0, "SIGSEGV", "Process received SIGSEGV", "S-1");
    auto client = makeClient();
    client->start();
    client->stop();
    EXPECT_FALSE(storage_->hasCrashMarker());

    auto second = makeClient();
    second->start();
    second->stop();

    const auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["level"], "crash");
    EXPECT_EQ(events[0]["message"], "Process received SIGSEGV");
    EXPECT_EQ(events[0]["timestamp"], "2023-11-14T22:13:20Z");
    EXPECT_EQ(events[0]["metadata"]["exceptionType"], "SIGSEGV");
    EXPECT_EQ(events[0]["metadata"].value("sessionId", ""), "S-1") << "the session the crash happened in";
    EXPECT_EQ(events[0].count("stackTrace"), 0u);
}

// The marker is removed only after its crash event is on disk; until then every start reads it again and
// queues the same event id.
TEST_F(HealthClientTest, MarkerStaysUntilItsCrashEventIsSaved) {
    storage_->makeCrashMarkerWriter().write(1'700'000'000.5, "SIGBUS", "Process received SIGBUS", "S-2");
    const auto queueFile = storage_->offlineFilePath("health");
    const auto journal = storage_->offlineJournalPath("health");
    std::string firstId;
    {
        auto client = makeClient();
        ASSERT_TRUE(client->pendingEvents().empty()); // the queue has read its files: what is there now stays
        // Neither the queue file nor its journal can be written.
        std::filesystem::create_directories(queueFile);
        std::filesystem::create_directories(journal);
        client->start();
        ASSERT_EQ(client->pendingEvents().size(), 1u);
        firstId = client->pendingEvents()[0].id;
        EXPECT_TRUE(storage_->hasCrashMarker()) << "its event is not on disk yet";
        stopServer(); // nothing may be sent from this run
        client->stop(std::chrono::steady_clock::now() + 100ms);
    }
    std::filesystem::remove(queueFile);
    std::filesystem::remove(journal);
    startServer();
    auto client = makeClient();
    client->start();
    EXPECT_FALSE(storage_->hasCrashMarker());
    client->stop();
    const auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["id"], firstId) << "a marker read twice gives one event id";
    EXPECT_EQ(events[0]["metadata"]["exceptionType"], "SIGBUS");
    EXPECT_EQ(events[0]["metadata"].value("sessionId", ""), "S-2");
}

TEST_F(HealthClientTest, EachCrashOfAChildIsReportedOnceAtTheNextStart) {
    options_.health.captureDeviceState = true;
    stopServer();
    for (int signalNumber : {SIGSEGV, SIGABRT, SIGFPE}) {
        auto outcome = runInChild([&] {
            auto client = makeClient();
            client->start();
            client->addUserBreadcrumb("about to crash");
            ::raise(signalNumber);
        });
        ASSERT_TRUE(outcome.signaled);
        ASSERT_EQ(outcome.signal, signalNumber);
        ASSERT_TRUE(storage_->hasCrashMarker());
    }
    // Each child's start queued the crash before it; this start adds the last one and sends all three.
    startServer();
    auto client = makeClient();
    client->start();
    client->stop();
    EXPECT_FALSE(storage_->hasCrashMarker());
    const auto events = sentEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["message"], "Process received SIGSEGV");
    EXPECT_EQ(events[1]["message"], "Process received SIGABRT");
    EXPECT_EQ(events[2]["message"], "Process received SIGFPE");
    for (const auto& event : events) {
        EXPECT_EQ(event["level"], "crash");
    }
}

TEST_F(HealthClientTest, UncaughtExceptionInAChildIsSentAtTheNextStartWithoutAMarker) {
    options_.health.captureDeviceState = true;
    stopServer();
    auto outcome = runInChild([&] {
        auto client = makeClient();
        client->start();
        client->logError("last words");
        std::thread([] { throw std::out_of_range("index 7"); }).join();
    });
    ASSERT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGABRT);
    EXPECT_FALSE(storage_->hasCrashMarker());

    startServer();
    auto client = makeClient();
    client->start();
    client->stop();
    const auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["level"], "crash");
    EXPECT_EQ(events[0]["message"], "std::out_of_range: index 7");
    EXPECT_EQ(events[0]["metadata"]["logs"][0]["message"], "last words");
    EXPECT_TRUE(events[0]["metadata"].contains("deviceState"));
    EXPECT_TRUE(events[0]["stackTrace"].is_array());
}

TEST_F(HealthClientTest, StopReturnsByItsDeadlineAndKeepsUnsentEventsInTheFile) {
    server_->setDefaultReply({200, {}, "{}", "application/json", 10s});
    auto client = makeClient();
    client->start();
    client->captureInfo("slow");
    const auto began = std::chrono::steady_clock::now();
    client->stop(std::chrono::steady_clock::now() + 200ms);
    // The request gets only the time left, and a cancelled transfer ends at once: the deadline holds (the margin
    // is for a loaded machine, not for the transport).
    EXPECT_LT(std::chrono::steady_clock::now() - began, 700ms);
    client.reset();
    const auto kept = storage_->loadOfflineEvents<HealthEvent>("health");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].message, "slow");
}

// A server error, a refused key or a wrong address costs a delay, never the events.
TEST_F(HealthClientTest, FailedBatchesStayQueuedForTheNextFlush) {
    auto client = makeClient();
    client->captureInfo("one");
    for (const int status : {500, 401, 403, 404}) {
        server_->pushReply({status, {}, R"({"error":"down"})"});
        client->flush();
        EXPECT_EQ(client->pendingEvents().size(), 1u) << status;
    }
    client->flush();
    EXPECT_TRUE(client->pendingEvents().empty());
    const auto sent = sentEvents();
    ASSERT_EQ(sent.size(), 5u); // the same event, sent five times
    for (const auto& event : sent) {
        EXPECT_EQ(event["id"], sent[0]["id"]);
    }
}

} // namespace
} // namespace corvantesk
