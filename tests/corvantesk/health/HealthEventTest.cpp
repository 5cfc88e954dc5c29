#include "Corvantesk/health/HealthEvent.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <system_error>

#include "tests/corvantesk/core/SdkTestSupport.h"

namespace corvantesk {
namespace {

TEST(HealthEventFactories, MessagesAndFields) {
    auto signal = HealthEvent::crash(SIGSEGV);
    EXPECT_EQ(signal.message, "Signal SIGSEGV (11)");
    EXPECT_EQ(signal.eventType, "crash");
    EXPECT_EQ(signal.level, "crash");
    EXPECT_EQ(signal.exceptionType, "SIGSEGV");
    EXPECT_FALSE(signal.stackTrace);

    auto exception = HealthEvent::crash("std::logic_error", std::nullopt, std::nullopt);
    EXPECT_EQ(exception.message, "std::logic_error: Unknown reason");

    auto error = HealthEvent::error(std::system_error(std::make_error_code(std::errc::no_space_on_device)));
    EXPECT_EQ(error.exceptionType, "std::system_error");
    EXPECT_EQ(error.source, "generic");
    EXPECT_FALSE(error.metadata);

    auto notFound = HealthEvent::networkError("https://x.test/a", 404);
    EXPECT_EQ(notFound.message, "Network error (HTTP 404): https://x.test/a");
    EXPECT_EQ(notFound.level, "error");
    EXPECT_EQ(notFound.eventType, "networkError");
    EXPECT_EQ(notFound.metadata, (AnyMap{{"url", "https://x.test/a"}, {"statusCode", 404}}));

    std::runtime_error refused("connection refused");
    auto offline = HealthEvent::networkError("u", std::nullopt, &refused, AnyMap{{"url", "mine"}, {"extra", 1}});
    EXPECT_EQ(offline.message, "Network error: u");
    EXPECT_EQ(offline.metadata, (AnyMap{{"url", "u"}, {"errorDescription", "connection refused"}, {"extra", 1}}));

    EXPECT_EQ(HealthEvent::warning("w").eventType, "warning");
    EXPECT_EQ(HealthEvent::heartbeat().level, "info");
}

TEST(HealthEventPayload, StackTraceIsCutByCharactersAndSplitIntoLines) {
    auto event = HealthEvent::crash(SIGABRT, std::string(10000, 'a'));
    auto whole = event.toPayload(10000);
    ASSERT_TRUE(whole.stackTrace);
    ASSERT_EQ(whole.stackTrace->size(), 1u);
    EXPECT_EQ(whole.stackTrace->front().size(), 10000u);

    event.stackTrace = std::string(10001, 'a');
    auto cut = event.toPayload(10000);
    ASSERT_EQ(cut.stackTrace->size(), 2u);
    EXPECT_EQ((*cut.stackTrace)[0].size(), 10000u);
    EXPECT_EQ((*cut.stackTrace)[1], "... (truncated)");

    event.stackTrace = "frame";
    EXPECT_EQ(*event.toPayload(0).stackTrace, (std::vector<std::string>{"", "... (truncated)"}));
    event.stackTrace = "one\ntwo\n";
    EXPECT_EQ(*event.toPayload(100).stackTrace, (std::vector<std::string>{"one", "two", ""}));
    // Characters, not bytes: three two-byte characters fit a limit of three.
    event.stackTrace = "\xC3\xA9\xC3\xA9\xC3\xA9";
    EXPECT_EQ(event.toPayload(3).stackTrace->size(), 1u);
    EXPECT_EQ(truncateStackTrace("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9\n... (truncated)");
}

TEST(HealthEventPayload, EnrichmentIsFoldedIntoMetadataAndWinsOverCallerKeys) {
    auto event = HealthEvent::error("e", AnyMap{{"source", "caller"}, {"exceptionType", "caller"}, {"k", 1}});
    auto keep = event.toPayload(100);
    EXPECT_EQ(keep.metadata->at("source"), AnyCodable("caller"));

    event.source = "domain";
    event.exceptionType = "Type";
    event.breadcrumbs = std::vector<Breadcrumb>{Breadcrumb::navigation("A", "B")};
    LogEntry line{platform::AbsoluteTime{0}, LogLevel::error, "bad", std::nullopt};
    event.logs = std::vector<LogEntry>{line};
    auto payload = event.toPayload(100);
    const auto& metadata = *payload.metadata;
    EXPECT_EQ(metadata.at("source"), AnyCodable("domain"));
    EXPECT_EQ(metadata.at("exceptionType"), AnyCodable("Type"));
    EXPECT_EQ(metadata.at("k"), AnyCodable(1));
    const auto json = metadata.at("logs").toJson();
    EXPECT_EQ(json[0]["timestamp"], "2001-01-01T00:00:00Z");
    EXPECT_EQ(json[0]["level"], "error");
    EXPECT_EQ(metadata.at("breadcrumbs").toJson()[0]["message"], "Navigated from A to B");

    auto empty = HealthEvent::info("i");
    empty.breadcrumbs = std::vector<Breadcrumb>{};
    empty.logs = std::vector<LogEntry>{};
    EXPECT_FALSE(empty.toPayload(100).metadata);
}

TEST(HealthEventCoding, OfflineFormRoundTripsWithoutNulls) {
    auto event = HealthEvent::networkError("u", 500);
    event.breadcrumbs = std::vector<Breadcrumb>{Breadcrumb::user("tap")};
    event.deviceState = DeviceState::capture();
    const nlohmann::json encoded = event;
    EXPECT_EQ(encoded.count("stackTrace"), 0u);
    EXPECT_TRUE(encoded["eventTimestamp"].is_number());
    EXPECT_EQ(encoded.dump().find("null"), std::string::npos);
    const auto decoded = encoded.get<HealthEvent>();
    EXPECT_EQ(nlohmann::json(decoded), encoded);

    auto emptyMetadata = HealthEvent::error("x", AnyMap{});
    EXPECT_EQ(nlohmann::json(emptyMetadata)["metadata"], nlohmann::json::object());

    nlohmann::json missing = encoded;
    missing.erase("level");
    EXPECT_ANY_THROW(missing.get<HealthEvent>());
}

// Device facts in a crafted queue file that no integer or float can hold fail to decode, never convert.
TEST(HealthEventCoding, DeviceFactsOutOfRangeFailToDecode) {
    auto event = HealthEvent::info("x");
    event.deviceState = DeviceState::capture();
    const nlohmann::json encoded = event;
    for (const char* key : {"memoryTotal", "diskAvailable", "threadCount", "processorCount", "batteryLevel"}) {
        for (const double bad : {1e300, -1e300}) {
            nlohmann::json crafted = encoded;
            crafted["deviceState"][key] = bad;
            EXPECT_ANY_THROW(crafted.get<HealthEvent>()) << key << " " << bad;
        }
    }
}

// Once the queue keeps an event in its file form alone, what it sends is on the wire byte for byte what the
// caller queued: every field with a trail, logs and facts, and events whose file form does not read back (a
// breadcrumb or an event dated past what a queue file may hold, facts the caller measured as not a number).
TEST(HealthEventCoding, AQueuedEventGoesOutAsTheCallerMadeIt) {
    const auto payload = [](const HealthEvent& event) { return event.toPayload(10000); };

    const std::runtime_error refused("refused \xFF");
    auto full = HealthEvent::networkError(
        "https://x.test/a", 503, &refused,
        AnyMap{{"ratio", 0.1},
               {"huge", 1e300},
               {"zero", -0.0},
               {"nan", NAN},
               {"low", INT64_MIN},
               {"high", UINT64_MAX},
               {"when", platform::AbsoluteTime{12345.678}},
               {"empty", ""},
               {"nested", AnyCodable::Array{AnyCodable::Array{}, AnyCodable::Object{{"k", nullptr}}, true}}});
    full.stackTrace = "frame 1\nframe 2\n";
    full.exceptionType = "std::runtime_error";
    full.source = "network";
    full.deviceId = "D";
    full.appVersion = "1.2";
    full.osVersion = "Debian 12";
    full.deviceModel = "x86_64";
    full.breadcrumbs =
        std::vector<Breadcrumb>{Breadcrumb::user("tap"), Breadcrumb("state", "s", AnyMap{{"n", 2}, {"t", "\xC3"}})};
    full.logs = std::vector<LogEntry>{LogEntry{platform::AbsoluteTime{1.5}, LogLevel::warning, "w", "tag"},
                                      LogEntry{platform::AbsoluteTime{-7.25}, LogLevel::debug, "", std::nullopt}};
    full.deviceState = DeviceState::capture();
    full.deviceState->batteryLevel = 0.37f;
    full.deviceState->batteryState = "charging";
    full.deviceState->isLowPowerMode = false;

    auto farTrail = HealthEvent::info("later");
    farTrail.breadcrumbs = std::vector<Breadcrumb>{
        Breadcrumb("B1", platform::AbsoluteTime{2e11}, "user", "from a clock far off", std::nullopt)};
    auto farDate = HealthEvent::warning("dated far off");
    farDate.eventTimestamp = platform::AbsoluteTime{-2e11};
    auto nanFacts = HealthEvent::error("facts");
    nanFacts.deviceState = DeviceState::capture();
    nanFacts.deviceState->diskUsagePercent = NAN;

    const std::vector<HealthEvent> events{full, farTrail, farDate, nanFacts};
    const auto sent = sdktest::sentOnTheWire(events, payload);
    ASSERT_EQ(sent.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(sent[i], sdktest::wireText(payload(events[i]))) << i;
    }
}

} // namespace
} // namespace corvantesk
