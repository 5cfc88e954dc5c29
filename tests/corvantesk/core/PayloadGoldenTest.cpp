#include <gtest/gtest.h>

#include <cstdlib>

#include "Corvantesk/core/WirePayloads.h"

using namespace corvantesk;

namespace {

// 2024-05-01T12:00:00Z plus a fraction that must not reach the wire.
const platform::AbsoluteTime kWhen = platform::AbsoluteTime::fromUnixSeconds(1714564800.987);

std::string text(const auto& payload) {
    return nlohmann::ordered_json(payload).dump();
}

DeviceInfo device() {
    DeviceInfo info;
    info.platform = "linux";
    info.osVersion = "Debian GNU/Linux 12";
    info.deviceModel = "ThinkPad X1";
    return info;
}

} // namespace

TEST(WirePayloads, HealthBatchGolden) {
    HealthBatchPayload batch;
    batch.batchId = "B";
    batch.appIdentifier = "app";
    batch.environment = "production";
    batch.deviceInfo = device();
    batch.events.push_back(HealthEventPayload{"E1", kWhen, "error", "boom", std::nullopt, std::nullopt});
    batch.events.push_back(HealthEventPayload{"E2", kWhen, "crash", "SIGSEGV", AnyMap{{"n", 1}},
                                              std::vector<std::string>{"0 main", "1 start"}});
    batch.sentAt = kWhen;
    EXPECT_EQ(text(batch),
              R"({"batchId":"B","appIdentifier":"app","environment":"production",)"
              R"("deviceInfo":{"platform":"linux","osVersion":"Debian GNU/Linux 12","deviceModel":"ThinkPad X1"},)"
              R"("events":[{"id":"E1","timestamp":"2024-05-01T12:00:00Z","level":"error","message":"boom"},)"
              R"({"id":"E2","timestamp":"2024-05-01T12:00:00Z","level":"crash","message":"SIGSEGV","metadata":{"n":1},)"
              R"("stackTrace":["0 main","1 start"]}],"sentAt":"2024-05-01T12:00:00Z","isTest":false})");
    batch.userId = "U";
    EXPECT_NE(text(batch).find(R"("userId":"U","events")"), std::string::npos);
}

TEST(WirePayloads, HeartbeatUsesItsOwnKeys) {
    HeartbeatPayload beat;
    beat.timestamp = kWhen;
    beat.appIdentifier = "app";
    EXPECT_EQ(text(beat),
              R"({"platform":"linux","timestamp":"2024-05-01T12:00:00Z","isTest":false,"appIdentifier":"app"})");
    beat.deviceId = "D";
    beat.appVersion = "1.0";
    beat.osVersion = "Debian GNU/Linux 12";
    beat.metadata = AnyMap{{"k", "v"}};
    beat.isTest = true;
    EXPECT_EQ(text(beat),
              R"({"device_id":"D","platform":"linux","app_version":"1.0","os_version":"Debian GNU/Linux 12",)"
              R"("timestamp":"2024-05-01T12:00:00Z","metadata":{"k":"v"},"isTest":true,"appIdentifier":"app"})");
}

TEST(WirePayloads, AnalyticsBatchGolden) {
    AnalyticsBatchPayload batch;
    batch.batchId = "B";
    batch.appIdentifier = "app";
    batch.deviceInfo = AnalyticsDeviceInfo::make("D", "M", "linux", "OS", "1.0", std::nullopt, "de_DE");
    batch.anonymousUserId = "A";
    batch.environment = "production";
    batch.sentAt = kWhen;
    batch.events.push_back(AnalyticsEventPayload{"E", kWhen, "app_launched", "S", std::nullopt, std::nullopt,
                                                 std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    AnalyticsEventPayload full{"F",    kWhen,  "button_click",     "S",  "ui",
                               "Main", "save", AnyMap{{"x", 2.5}}, 1500, "Start"};
    batch.events.push_back(full);
    EXPECT_EQ(
        text(batch),
        R"({"batchId":"B","appIdentifier":"app","deviceInfo":{"deviceId":"D","deviceModel":"M","platform":"linux",)"
        R"("osVersion":"OS","appVersion":"1.0","language":"de_DE"},"anonymousUserId":"A","isTest":false,)"
        R"("environment":"production","sentAt":"2024-05-01T12:00:00Z","events":[)"
        R"({"id":"E","timestamp":"2024-05-01T12:00:00Z","eventType":"app_launched","sessionId":"S"},)"
        R"({"id":"F","timestamp":"2024-05-01T12:00:00Z","eventType":"button_click","sessionId":"S","category":"ui",)"
        R"("screen":"Main","element":"save","properties":{"x":2.5},"duration":1500,"referrer":"Start"}]})");
}

TEST(WirePayloads, AnalyticsDeviceInfoTakesTheLocaleWhenNoLanguageIsGiven) {
    ::setenv("LC_ALL", "fr_CA.UTF-8", 1);
    const auto info =
        AnalyticsDeviceInfo::make(std::nullopt, std::nullopt, "linux", std::nullopt, std::nullopt, std::nullopt);
    ::unsetenv("LC_ALL");
    EXPECT_EQ(info.language, "fr_CA");
    EXPECT_EQ(text(info), R"({"platform":"linux","language":"fr_CA"})");
}

TEST(WirePayloads, FeedbackGolden) {
    FeedbackPayload feedback;
    feedback.appIdentifier = "app";
    feedback.message = " hi ";
    feedback.category = "praise";
    EXPECT_EQ(text(feedback), R"({"appIdentifier":"app","message":" hi ","category":"praise","isTest":false})");
    feedback.rating = 5;
    feedback.email = "e@x";
    feedback.userId = "U";
    feedback.deviceId = "D";
    feedback.sessionId = "S";
    feedback.screen = "FeedbackView";
    feedback.deviceInfo = FeedbackDeviceInfo{"linux", "OS", std::nullopt};
    feedback.metadata = AnyMap{};
    feedback.isTest = true;
    EXPECT_EQ(text(feedback), R"({"appIdentifier":"app","message":" hi ","category":"praise","rating":5,"email":"e@x",)"
                              R"("userId":"U","deviceId":"D","sessionId":"S","screen":"FeedbackView",)"
                              R"("deviceInfo":{"platform":"linux","osVersion":"OS"},"metadata":{},"isTest":true})");
}
