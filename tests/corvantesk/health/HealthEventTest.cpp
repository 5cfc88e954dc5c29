#include "Corvantesk/health/HealthEvent.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

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

} // namespace
} // namespace corvantesk
