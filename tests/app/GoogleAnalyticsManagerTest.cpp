#include "Quillobrandt/app/GoogleAnalyticsManager.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "tests/app/RecordingHttpSender.h"
#include "tests/support/LoopbackHttpServer.h"

namespace {

using nlohmann::json;
using quillobrandt::GoogleAnalyticsConfiguration;
using quillobrandt::GoogleAnalyticsManager;

class GoogleAnalyticsTest : public ::testing::Test {
protected:
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    std::shared_ptr<qbtest::RecordingHttpSender> sender = std::make_shared<qbtest::RecordingHttpSender>();

    static GoogleAnalyticsConfiguration configured(std::string id = "G-TEST123", std::string secret = "s3cret") {
        GoogleAnalyticsConfiguration configuration;
        configuration.measurementId = std::move(id);
        configuration.apiSecret = std::move(secret);
        return configuration;
    }

    json sentBody(std::size_t index) const { return json::parse(sender->requests().at(index).body); }
};

TEST_F(GoogleAnalyticsTest, EventIsOnePostWithTheDesignedJson) {
    GoogleAnalyticsManager analytics(configured(), sender, defaults);
    analytics.trackEvent("database_loaded", {{"message_count", 15}, {"source", "custom_file"}, {"flag", true}});
    analytics.waitUntilIdle();

    const auto requests = sender->requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://www.google-analytics.com/mp/collect?measurement_id=G-TEST123&api_secret=s3cret");
    EXPECT_EQ(request.headers,
              (std::vector<std::pair<std::string, std::string>>{{"Content-Type", "application/json"}}));
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
    EXPECT_EQ(request.body.find('\n'), std::string::npos) << "compact JSON";

    const json body = json::parse(request.body);
    const json expected = {{"client_id", *defaults.string("ga_client_id")},
                           {"events", json::array({{{"name", "database_loaded"},
                                                    {"params",
                                                     {{"message_count", 15},
                                                      {"source", "custom_file"},
                                                      {"flag", true},
                                                      {"app_version", GoogleAnalyticsManager::appVersion()},
                                                      {"platform", "Linux"}}}}})}};
    EXPECT_EQ(body, expected);
}

TEST_F(GoogleAnalyticsTest, ClientParametersReplaceCallerValuesOfTheSameKeys) {
    GoogleAnalyticsManager analytics(configured(), sender, defaults);
    analytics.trackEvent("x", {{"platform", "macOS"}, {"app_version", "9"}});
    analytics.trackEvent("y");
    analytics.waitUntilIdle();
    EXPECT_EQ(sentBody(0)["events"][0]["params"]["platform"], "Linux");
    EXPECT_EQ(sentBody(0)["events"][0]["params"]["app_version"], GoogleAnalyticsManager::appVersion());
    EXPECT_EQ(sentBody(1)["events"][0]["params"].size(), 2u);
}

TEST_F(GoogleAnalyticsTest, ConvenienceEventsCarryTheirParameters) {
    GoogleAnalyticsManager analytics(configured(), sender, defaults);
    analytics.trackConversationOpened(20001, true, false);
    analytics.trackPDFExportStarted(500, false, true);
    analytics.waitUntilIdle();
    const json opened = sentBody(0)["events"][0];
    EXPECT_EQ(opened["name"], "conversation_opened");
    EXPECT_EQ(opened["params"]["message_count"], 20001);
    EXPECT_EQ(opened["params"]["is_group_chat"], true);
    EXPECT_EQ(opened["params"]["has_media"], false);
    const json pdf = sentBody(1)["events"][0];
    EXPECT_EQ(pdf["name"], "pdf_export_started");
    EXPECT_EQ(pdf["params"]["message_count"], 500);
    EXPECT_EQ(pdf["params"]["include_images"], false);
    EXPECT_EQ(pdf["params"]["is_ultra_dense"], true);
}

TEST_F(GoogleAnalyticsTest, ClientIdIsMadeOnceAndKeptAcrossLaunches) {
    EXPECT_FALSE(defaults.string("ga_client_id").has_value());
    std::string first;
    {
        GoogleAnalyticsManager analytics(configured(), sender, defaults);
        analytics.trackEvent("app_launched");
        analytics.trackEvent("app_launched");
        analytics.waitUntilIdle();
        first = *defaults.string("ga_client_id");
        EXPECT_TRUE(
            std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << first;
        EXPECT_EQ(sentBody(0)["client_id"], first);
        EXPECT_EQ(sentBody(1)["client_id"], first);
    }
    // A later launch reads the same settings file.
    platform::UserDefaults reopened{defaults.file()};
    GoogleAnalyticsManager again(configured(), sender, reopened);
    EXPECT_EQ(again.clientId(), first);
}

TEST_F(GoogleAnalyticsTest, DisabledWithoutSecretPrintsOneLinePerEventAndSendsNothing) {
    testing::internal::CaptureStdout();
    {
        GoogleAnalyticsManager analytics(configured("G-TEST123", ""), sender, defaults);
        EXPECT_FALSE(analytics.isEnabled());
        analytics.trackEvent("app_launched");
        analytics.trackEvent("database_loaded", {{"message_count", 1}});
        analytics.waitUntilIdle();
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, "⚠️ Google Analytics not configured - missing GAMeasurementId or GAApiSecret in Info.plist\n"
                      "📊 GA4 [disabled]: app_launched\n"
                      "📊 GA4 [disabled]: database_loaded\n");
    EXPECT_TRUE(sender->requests().empty());
    EXPECT_FALSE(defaults.string("ga_client_id").has_value());
}

TEST_F(GoogleAnalyticsTest, DefaultBuildIsDisabled) {
    const auto configuration = GoogleAnalyticsConfiguration::fromBundle();
    EXPECT_TRUE(configuration.measurementId.empty() || configuration.apiSecret.empty());
}

TEST_F(GoogleAnalyticsTest, IdThatBreaksTheUrlDropsTheEvent) {
    testing::internal::CaptureStdout();
    {
        GoogleAnalyticsManager analytics(configured("G-BAD ID", "secret"), sender, defaults);
        analytics.trackEvent("app_launched");
        analytics.waitUntilIdle();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "❌ GA4: Invalid URL\n");
    EXPECT_TRUE(sender->requests().empty());
}

TEST_F(GoogleAnalyticsTest, AnswersBecomeConsoleLines) {
    GoogleAnalyticsManager analytics(configured(), sender, defaults);
    testing::internal::CaptureStdout();
    sender->setResponse({204, std::nullopt});
    analytics.trackEvent("a");
    analytics.waitUntilIdle();
    sender->setResponse({200, std::nullopt});
    analytics.trackEvent("b");
    analytics.waitUntilIdle();
    sender->setResponse({std::nullopt, "Could not resolve host"});
    analytics.trackEvent("c");
    analytics.waitUntilIdle();
    sender->setResponse({std::nullopt, std::nullopt});
    analytics.trackEvent("d");
    analytics.waitUntilIdle();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "📊 GA4: a ✓\n"
                                                      "⚠️ GA4: b returned 200\n"
                                                      "❌ GA4: Network error - Could not resolve host\n");
}

TEST_F(GoogleAnalyticsTest, EventsFromManyThreadsAreAllSent) {
    GoogleAnalyticsManager analytics(configured(), sender, defaults);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                analytics.trackEvent("tick", {{"i", i}});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    analytics.waitUntilIdle();
    EXPECT_EQ(sender->requests().size(), 100u);
}

TEST(GoogleAnalyticsVersion, AppVersionFormat) {
    EXPECT_EQ(GoogleAnalyticsManager::formatAppVersion("2.1", "45"), "2.1 (45)");
    EXPECT_EQ(GoogleAnalyticsManager::formatAppVersion(std::nullopt, "45"), "unknown (45)");
    EXPECT_EQ(GoogleAnalyticsManager::formatAppVersion("2.1", std::nullopt), "2.1 (unknown)");
}

TEST(CurlHttpSender, PostsBodyAndHeadersAndReportsStatus) {
    qbtest::LoopbackHttpServer server;
    qbtest::ScriptedReply noContent;
    noContent.status = 204;
    noContent.body = "";
    server.setDefaultReply(noContent);
    quillobrandt::CurlHttpSender sender;
    quillobrandt::HttpRequest request;
    request.url = server.baseUrl() + "/mp/collect?measurement_id=G-1&api_secret=x";
    request.headers = {{"Content-Type", "application/json"}};
    request.body = R"({"client_id":"A"})";
    request.timeout = std::chrono::seconds(5);
    const auto response = sender.send(request);

    EXPECT_EQ(response.statusCode, 204);
    EXPECT_FALSE(response.error.has_value());
    const auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].path, "/mp/collect");
    EXPECT_EQ(received[0].body, R"({"client_id":"A"})");
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
}

TEST(CurlHttpSender, RefusedConnectionIsATransportError) {
    quillobrandt::CurlHttpSender sender;
    quillobrandt::HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(qbtest::LoopbackHttpServer::unusedPort()) + "/mp/collect";
    request.timeout = std::chrono::seconds(5);
    const auto response = sender.send(request);
    EXPECT_FALSE(response.statusCode.has_value());
    ASSERT_TRUE(response.error.has_value());
    EXPECT_FALSE(response.error->empty());
}

TEST(CurlHttpSender, UrlValidity) {
    EXPECT_TRUE(
        quillobrandt::isValidUrl("https://www.google-analytics.com/mp/collect?measurement_id=G-1&api_secret=a"));
    EXPECT_FALSE(
        quillobrandt::isValidUrl("https://www.google-analytics.com/mp/collect?measurement_id=G 1&api_secret=a"));
    EXPECT_FALSE(quillobrandt::isValidUrl("not a url"));
}

} // namespace
