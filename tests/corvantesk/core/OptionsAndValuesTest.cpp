#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/CorvanteskOptions.h"
#include "Corvantesk/core/DeviceInfo.h"
#include "Corvantesk/core/FeedbackCategory.h"
#include "Corvantesk/core/OptionLimits.h"
#include "tests/corvantesk/core/SdkTestSupport.h"

using namespace corvantesk;

TEST(Options, DefaultsFromCredentialsAlone) {
    const auto options = CorvanteskOptions::make("app", "key");
    EXPECT_EQ(options.baseUrl, kDefaultBaseUrl);
    EXPECT_FALSE(options.debug);
    EXPECT_FALSE(options.isTest);
    EXPECT_FALSE(options.appVersion);
    EXPECT_FALSE(options.deviceId);
    EXPECT_EQ(options.environment, "production");
    EXPECT_EQ(options.batchSize, 20);
    EXPECT_EQ(options.flushInterval, 30.0);
    EXPECT_EQ(options.maxOfflineQueueSize, 500);
    EXPECT_EQ(options.health, (HealthOptions{true, true, 300.0, true, true, 10000, 100, 50, true}));
    EXPECT_EQ(options.analytics.collectionMode, DataCollectionMode::anonymous);
    EXPECT_EQ(options.analytics.consentMode, ConsentMode::none);
    EXPECT_EQ(options.analytics.sessionTimeout, 1800.0);
    EXPECT_TRUE(options.analytics.enableAutoTracking);
    EXPECT_FALSE(options.analytics.autoTrackingDebugLogging);
    EXPECT_FALSE(options.analytics.phiSafeMode);
}

TEST(Options, RawValuesAreKeptAndClampedWhereUsed) {
    auto options = CorvanteskOptions::make("app", "key");
    options.baseUrl = "https://example.test/";
    options.maxOfflineQueueSize = 0;
    EXPECT_EQ(options.baseUrl, "https://example.test/");
    EXPECT_EQ(effectiveQueueSize(options.maxOfflineQueueSize), 1);
    EXPECT_EQ(effectiveQueueSize(-5), 1);
    EXPECT_EQ(effectiveStackLength(-1), 0);
    EXPECT_EQ(effectiveInterval(std::numeric_limits<double>::quiet_NaN(), 30.0), 30.0);
    EXPECT_EQ(effectiveInterval(std::numeric_limits<double>::infinity(), 30.0), 30.0);
    EXPECT_EQ(effectiveInterval(-2.0, 300.0), 300.0);
    EXPECT_EQ(effectiveInterval(0.0, 300.0), 300.0);
    EXPECT_EQ(effectiveInterval(1e12, 30.0), 86400.0);
    EXPECT_EQ(effectiveInterval(0.25, 30.0), 0.25);
    // Tiny flush and heartbeat intervals are raised, so a server that is down is not flooded.
    EXPECT_EQ(effectiveInterval(0.001, 30.0, 1.0), 1.0);
    EXPECT_EQ(effectiveInterval(2.5, 300.0, 10.0), 10.0);
    EXPECT_EQ(effectiveInterval(-1.0, 300.0, 10.0), 300.0);
    EXPECT_EQ(effectiveInterval(1e12, 30.0, 1.0), 86400.0);
    EXPECT_EQ(plainDecimal(30.0), "30.0");
    EXPECT_EQ(plainDecimal(0.25), "0.25");
}

TEST(Options, ModeAndCategoryRawValues) {
    EXPECT_EQ(rawValue(DataCollectionMode::identified), "identified");
    EXPECT_EQ(rawValue(ConsentMode::standardWithPrivacyFallback), "standardWithPrivacyFallback");
    EXPECT_EQ(consentModeFromRaw("none"), ConsentMode::none);
    EXPECT_FALSE(dataCollectionModeFromRaw("Anonymous"));
    EXPECT_EQ(rawValue(FeedbackCategory::featureRequest), "feature-request");
    EXPECT_EQ(feedbackCategoryFromRaw("praise"), FeedbackCategory::praise);
    EXPECT_FALSE(feedbackCategoryFromRaw("featureRequest"));
}

TEST(AnyCodable, DecodesEachKindAsItsOwn) {
    const auto decoded = AnyCodable::fromJson(nlohmann::json::parse(R"([3, 3.5, true, null, "x", {"a": [1]}])"));
    const auto& array = *decoded.getIf<AnyCodable::Array>();
    ASSERT_EQ(array.size(), 6u);
    EXPECT_TRUE(array[0].getIf<std::int64_t>());
    EXPECT_TRUE(array[1].getIf<double>());
    EXPECT_TRUE(array[2].getIf<bool>());
    EXPECT_TRUE(array[3].isNull());
    EXPECT_EQ(*array[4].getIf<std::string>(), "x");
    EXPECT_EQ(array[5], AnyCodable(AnyMap{{"a", AnyCodable::Array{1}}}));
}

TEST(AnyCodable, EncodesDatesFloatsAndAbsentValues) {
    const AnyMap map{{"date", platform::AbsoluteTime::fromUnixSeconds(1706702400.75)},
                     {"half", 0.5f},
                     {"absent", std::optional<std::string>()},
                     {"big", std::numeric_limits<std::uint64_t>::max()}};
    EXPECT_EQ(toOrderedJson(map).dump(),
              R"({"absent":null,"big":18446744073709551615,"date":"2024-01-31T12:00:00Z","half":0.5})");
    // A date read back is a text, not a date.
    const auto back = anyMapFromJson(nlohmann::json::parse(toOrderedJson(map).dump()));
    EXPECT_TRUE(back.at("date").getIf<std::string>());
    EXPECT_EQ(back.at("big"), map.at("big"));
}

TEST(AnyCodable, EqualityIsDeep) {
    EXPECT_NE(AnyCodable(AnyCodable::Array{1, 2}), AnyCodable(AnyCodable::Array{1, 3}));
    EXPECT_NE(AnyCodable(AnyMap{{"a", 1}}), AnyCodable(AnyMap{{"a", 2}}));
    EXPECT_EQ(AnyCodable(AnyMap{{"a", AnyCodable::Array{"x", nullptr}}}),
              AnyCodable(AnyMap{{"a", AnyCodable::Array{"x", nullptr}}}));
    EXPECT_NE(AnyCodable(3), AnyCodable(3.0));
    EXPECT_EQ(AnyCodable(std::uint32_t{7}), AnyCodable(7));
    EXPECT_NE(AnyCodable(true), AnyCodable(1));
}

TEST(AnyCodable, RefusesBinaryJson) {
    const nlohmann::json binary = nlohmann::json::binary({1, 2, 3});
    try {
        AnyCodable::fromJson(binary);
        FAIL() << "expected an error";
    } catch (const AnyCodableError& error) {
        EXPECT_EQ(error.description(), "AnyCodable cannot decode value");
    }
}

TEST(DeviceInfo, FactsOfThisHostAndTheStoredDeviceId) {
    sdktest::TestStorage test;
    const auto without = DeviceInfo::current(false, std::nullopt, std::nullopt, test.storage);
    EXPECT_FALSE(without.deviceId);
    EXPECT_EQ(without.platform, "linux");
    EXPECT_FALSE(without.osVersion.empty());
    EXPECT_FALSE(without.deviceModel.empty());
    EXPECT_EQ(without.appVersion, "1.0.0"); // the bundle's version
    EXPECT_FALSE(nlohmann::ordered_json(without).contains("deviceId"));
    EXPECT_FALSE(test.storage.deviceId()) << "not asked for, so not made";

    const auto with = DeviceInfo::current(true, std::nullopt, std::string("9.9"), test.storage);
    EXPECT_EQ(with.deviceId, test.storage.deviceId());
    EXPECT_EQ(with.appVersion, "9.9");
    const auto given = DeviceInfo::current(true, std::string("GIVEN"), std::nullopt, test.storage);
    EXPECT_EQ(given.deviceId, "GIVEN");

    const auto json = nlohmann::ordered_json(with);
    EXPECT_EQ(json.begin().key(), "deviceId");
    EXPECT_EQ(nlohmann::json::parse(json.dump()).get<DeviceInfo>(), with);
    const auto map = with.toDictionary();
    EXPECT_EQ(*map.at("platform").getIf<std::string>(), "linux");
    EXPECT_EQ(map.count("deviceId"), 1u);
}
