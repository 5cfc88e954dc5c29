#include "Corvantesk/analytics/AnalyticsClient.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <thread>

namespace corvantesk {
namespace {

using namespace std::chrono_literals;

class FixedScreen : public PlatformHooks {
public:
    std::optional<std::string> screenResolution() override { return "1512x982"; }
};

class AnalyticsClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_unique<platform::UserDefaults>(qbtest::IsolatedHome::root() / "defaults.json");
        storage_ = std::make_unique<Storage>(*defaults_, qbtest::IsolatedHome::root() / "Corvantesk");
        options_ = CorvanteskOptions::make("app.test", "secret");
        options_.baseUrl = server_.baseUrl();
        options_.flushInterval = 3600;
        options_.batchSize = 100;
    }

    std::unique_ptr<AnalyticsClient> makeClient() {
        auto transport = std::make_shared<HttpTransport>(options_.baseUrl, options_.appId, options_.apiKey, false);
        AnalyticsEnvironment environment;
        environment.storage = storage_.get();
        environment.hooks = std::make_shared<FixedScreen>();
        environment.clock = {[this] { return wall_; }, [this] { return monotonic_; }};
        return std::make_unique<AnalyticsClient>(options_, transport, environment);
    }

    void advance(double seconds) {
        wall_.secondsSinceReferenceDate += seconds;
        monotonic_ +=
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }

    std::vector<nlohmann::json> batches() const {
        std::vector<nlohmann::json> bodies;
        for (const auto& request : server_.requests()) {
            if (request.path == "/api/v1/analytics/events") {
                bodies.push_back(request.json());
            }
        }
        return bodies;
    }

    // Tracks one event, flushes, and returns the batch that carried it.
    nlohmann::json sendOne(AnalyticsClient& client) {
        client.track("ping", std::string("test"));
        client.flush();
        auto all = batches();
        return all.empty() ? nlohmann::json() : all.back();
    }

    qbtest::LoopbackHttpServer server_;
    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<Storage> storage_;
    CorvanteskOptions options_;
    platform::AbsoluteTime wall_{800'000'000.0};
    std::chrono::steady_clock::time_point monotonic_{std::chrono::hours(10)};
};

TEST_F(AnalyticsClientTest, ScreensReferrersAndDefaultScreens) {
    auto client = makeClient();
    client->trackButtonClick("early");
    client->trackScreenView("Inbox", std::string("Messages"));
    client->trackScreenView("Settings");
    client->trackScreenView("Settings");
    client->trackButtonClick("save", std::string("Save"));
    client->trackButtonClick("back", std::nullopt, std::string("Elsewhere"));
    client->track("custom");
    client->trackSearch("needle", 4);
    client->trackFeature("export");
    client->trackTimed("load", 250);
    client->trackConversion("upgrade");

    const auto events = client->pendingEvents();
    ASSERT_EQ(events.size(), 11u);
    EXPECT_FALSE(events[0].screen);
    EXPECT_FALSE(events[1].referrer);
    EXPECT_EQ(events[1].screenLabel, "Messages");
    EXPECT_EQ(events[2].referrer, "Inbox");
    EXPECT_EQ(events[3].referrer, "Settings");
    EXPECT_EQ(events[4].screen, "Settings");
    EXPECT_EQ(events[4].elementLabel, "Save");
    EXPECT_EQ(events[5].screen, "Elsewhere");
    EXPECT_EQ(events[6].screen, "Settings");
    EXPECT_EQ(events[7].screen, "Settings");
    EXPECT_FALSE(events[8].screen);
    EXPECT_EQ(events[8].category, "feature");
    EXPECT_FALSE(events[9].screen);
    EXPECT_EQ(events[9].duration, 250);
    EXPECT_FALSE(events[10].screen);
    EXPECT_EQ(events[10].properties, AnyMap{});
    for (const auto& event : events) {
        EXPECT_EQ(event.sessionId, events[0].sessionId);
    }
}

// A long property text is cut when it is recorded, so one event can never outgrow a request.
TEST_F(AnalyticsClientTest, LongPropertyTextsAreCutWhenRecorded) {
    auto client = makeClient();
    client->track("import", std::nullopt, std::nullopt,
                  AnyMap{{"blob", std::string(1024 * 1024, 'x')},
                         {"nested", AnyCodable::Array{AnyCodable(std::string(100000, 'y'))}},
                         {"short", "kept"}});
    const auto events = client->pendingEvents();
    ASSERT_EQ(events.size(), 1u);
    const auto& properties = *events[0].properties;
    EXPECT_EQ(properties.at("blob").getIf<std::string>()->size(), 8u * 1024);
    EXPECT_EQ(properties.at("nested").getIf<AnyCodable::Array>()->at(0).getIf<std::string>()->size(), 8u * 1024);
    EXPECT_EQ(*properties.at("short").getIf<std::string>(), "kept");
}

TEST_F(AnalyticsClientTest, DisabledClientRecordsNothingAndTouchesNothing) {
    options_.analytics.enabled = false;
    auto client = makeClient();
    const auto lastActivity = storage_->lastActivity();
    advance(10);
    client->trackScreenView("Inbox");
    client->track("x");
    client->trackSearch("q");
    client->trackConversion("c", 1.0);
    EXPECT_TRUE(client->pendingEvents().empty());
    EXPECT_FALSE(client->currentScreen());
    EXPECT_EQ(storage_->lastActivity(), lastActivity);
}

TEST_F(AnalyticsClientTest, PhiSafeModeFiltersKeysAndRedactsSearches) {
    options_.analytics.phiSafeMode = true;
    auto client = makeClient();
    client->track("t", std::nullopt, std::nullopt, AnyMap{{"userName", "ann"}, {"count", 3}, {"description", "d"}});
    client->trackSearch("ann@example.com", 2);
    client->trackConversion("buy", 9.5, std::string("EUR"), AnyMap{{"email", "x"}, {"plan", "pro"}});
    const auto events = client->pendingEvents();
    EXPECT_EQ(events[0].properties, (AnyMap{{"count", 3}}));
    EXPECT_EQ(events[1].properties, (AnyMap{{"query", "[REDACTED]"}, {"resultsCount", 2}}));
    EXPECT_EQ(events[2].properties, (AnyMap{{"plan", "pro"}, {"value", 9.5}, {"currency", "EUR"}}));
}

TEST_F(AnalyticsClientTest, BatchesAreShapedForTheWire) {
    options_.environment = "staging";
    options_.isTest = true;
    options_.appVersion = "9.9";
    auto client = makeClient();
    client->setUserId(std::string("user-42"));
    client->trackScreenView("Inbox", std::string("Messages"), AnyMap{{"n", 1}});
    client->track("app_launched", std::string("lifecycle"));
    client->flush();

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/v1/analytics/events");
    EXPECT_EQ(requests[0].header("X-App-Identifier"), "app.test");
    const auto body = requests[0].json();
    EXPECT_EQ(body["appIdentifier"], "app.test");
    EXPECT_EQ(body["environment"], "staging");
    EXPECT_EQ(body["isTest"], true);
    EXPECT_EQ(body["userId"], "user-42");
    EXPECT_EQ(body["batchId"].get<std::string>().size(), 36u);
    EXPECT_TRUE(body["sentAt"].is_string());
    const auto& device = body["deviceInfo"];
    EXPECT_EQ(device["platform"], "linux");
    EXPECT_EQ(device["appVersion"], "9.9");
    EXPECT_EQ(device["screenResolution"], "1512x982");
    EXPECT_TRUE(device["language"].is_string());
    ASSERT_EQ(body["events"].size(), 2u);
    const auto& view = body["events"][0];
    EXPECT_EQ(view["eventType"], "screen_viewed");
    EXPECT_EQ(view["screen"], "Inbox");
    EXPECT_EQ(view["properties"]["n"], 1);
    EXPECT_EQ(view.count("screenLabel") + view.count("userId"), 0u);
    EXPECT_EQ(body["events"][1]["eventType"], "app_launched");
    EXPECT_EQ(body["events"][1]["screen"], "Inbox");
    EXPECT_EQ(body["events"][1]["sessionId"], view["sessionId"]);
    EXPECT_TRUE(client->pendingEvents().empty());
}

// A service that takes bodies up to 200 KB refuses the batch that holds one event of about 320 KB: that event
// alone is dropped, the others go in batches shaped as every batch is.
TEST_F(AnalyticsClientTest, ARefusedEventCostsOnlyItselfAndEveryRequestIsAWholeBatch) {
    server_.refuseBodiesOver(200 * 1024);
    auto client = makeClient();
    AnyMap large;
    for (int i = 0; i < 40; ++i) {
        large["part" + std::to_string(i)] = std::string(8 * 1024, 'x');
    }
    for (int i = 0; i < 6; ++i) {
        client->track(i == 2 ? "large" : "ordinary", std::string("test"), std::nullopt,
                      i == 2 ? large : AnyMap{{"index", i}});
    }
    client->flush();
    EXPECT_TRUE(client->pendingEvents().empty());
    std::vector<int> delivered;
    for (const auto& request : server_.requests()) {
        if (request.body.size() > 200 * 1024) {
            continue;
        }
        const auto body = request.json();
        for (const char* key : {"batchId", "appIdentifier", "deviceInfo", "anonymousUserId", "isTest", "environment",
                                "sentAt", "events"}) {
            EXPECT_TRUE(body.contains(key)) << key;
        }
        for (const auto& event : body["events"]) {
            EXPECT_EQ(event["eventType"], "ordinary");
            delivered.push_back(event["properties"]["index"].get<int>());
        }
    }
    EXPECT_EQ(delivered, std::vector<int>({0, 1, 3, 4, 5}));
}

// One text that is not valid UTF-8 neither stops the queue file from being written nor the batch from going
// out: each bad sequence becomes U+FFFD, and the events after it are kept and sent.
TEST_F(AnalyticsClientTest, InvalidUtf8IsReplacedInTheQueueFileAndOnTheWire) {
    auto client = makeClient();
    client->track("bad\xff\xfe", std::string("test"), std::nullopt, AnyMap{{"name", "caf\xc3"}});
    client->track("after", std::string("test"));
    client->start(); // the writer saves them
    auto saved = storage_->loadOfflineEvents<AnalyticsEvent>("analytics");
    for (int i = 0; i < 400 && saved.size() < 2; ++i) {
        std::this_thread::sleep_for(5ms);
        saved = storage_->loadOfflineEvents<AnalyticsEvent>("analytics");
    }
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].eventType, "bad\uFFFD\uFFFD");
    EXPECT_EQ(saved[1].eventType, "after");
    client->flush();
    const auto sent = batches();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0]["events"].size(), 2u);
    EXPECT_EQ(sent[0]["events"][0]["eventType"], "bad\uFFFD\uFFFD");
    EXPECT_EQ(sent[0]["events"][0]["properties"]["name"], "caf\uFFFD");
    EXPECT_TRUE(client->pendingEvents().empty());
}

TEST_F(AnalyticsClientTest, AnonymousBatchesHaveNoDeviceIdAndAFreshAnonymousId) {
    auto client = makeClient();
    client->setUserId(std::string("kept"));
    const auto first = sendOne(*client);
    const auto second = sendOne(*client);
    EXPECT_EQ(first["deviceInfo"].count("deviceId"), 0u);
    EXPECT_EQ(first["userId"], "kept");
    ASSERT_TRUE(first["anonymousUserId"].is_string());
    EXPECT_NE(first["anonymousUserId"], second["anonymousUserId"]);

    client->setUserId(std::nullopt);
    EXPECT_FALSE(storage_->userId());
    EXPECT_EQ(sendOne(*client).count("userId"), 0u);
}

TEST_F(AnalyticsClientTest, ConsentDecidesTheModeWithPrivacyFallback) {
    options_.analytics.collectionMode = DataCollectionMode::identified;
    options_.analytics.consentMode = ConsentMode::standardWithPrivacyFallback;
    auto client = makeClient();
    EXPECT_TRUE(client->isAnonymous());
    EXPECT_FALSE(client->hasMadeConsentChoice());
    EXPECT_EQ(sendOne(*client)["deviceInfo"].count("deviceId"), 0u);

    client->setConsent(true);
    EXPECT_TRUE(client->isIdentified());
    EXPECT_TRUE(client->hasMadeConsentChoice());
    const auto identified = sendOne(*client);
    EXPECT_EQ(identified["deviceInfo"]["deviceId"], storage_->deviceId());
    EXPECT_EQ(identified.count("anonymousUserId"), 0u);

    client->setConsent(false);
    EXPECT_EQ(client->consent(), false);
    EXPECT_TRUE(client->isAnonymous());

    client->setConsent(true);
    client->resetConsent();
    EXPECT_FALSE(client->consent());
    EXPECT_FALSE(client->hasMadeConsentChoice());
    EXPECT_TRUE(sendOne(*client).contains("anonymousUserId"));

    // A later client takes up the stored choice.
    client->setConsent(true);
    client.reset();
    EXPECT_TRUE(makeClient()->isIdentified());
}

TEST_F(AnalyticsClientTest, WithoutConsentModeTheConfiguredModeHolds) {
    auto client = makeClient();
    client->setConsent(true);
    EXPECT_TRUE(client->isAnonymous());
    EXPECT_TRUE(sendOne(*client).contains("anonymousUserId"));
}

TEST_F(AnalyticsClientTest, EventsAfterALongPauseBelongToANewSession) {
    options_.analytics.sessionTimeout = 60;
    auto client = makeClient();
    client->track("a");
    advance(59);
    client->track("b");
    advance(61);
    client->track("c");
    const auto events = client->pendingEvents();
    EXPECT_EQ(events[0].sessionId, events[1].sessionId);
    EXPECT_NE(events[1].sessionId, events[2].sessionId);
    EXPECT_EQ(client->sessionId(), events[2].sessionId);
}

TEST_F(AnalyticsClientTest, QueuedEventsSurviveTheClientAndStopWithNothingQueuedSendsNothing) {
    {
        auto client = makeClient();
        client->trackFeature("offline");
    }
    auto client = makeClient();
    ASSERT_EQ(client->pendingEvents().size(), 1u);
    EXPECT_EQ(client->pendingEvents()[0].element, "offline");
    client->start();
    client->stop();
    EXPECT_EQ(batches().size(), 1u);

    auto empty = makeClient();
    empty->start();
    empty->stop();
    EXPECT_EQ(batches().size(), 1u);
}

TEST_F(AnalyticsClientTest, FullBatchesAreSentByTheRunningQueue) {
    options_.batchSize = 3;
    auto client = makeClient();
    client->start();
    for (int i = 0; i < 3; ++i) {
        client->track("e" + std::to_string(i));
    }
    ASSERT_TRUE(server_.waitForRequests(1, 2s));
    client->stop();
    const auto sent = batches();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["events"].size(), 3u);
}

} // namespace
} // namespace corvantesk
