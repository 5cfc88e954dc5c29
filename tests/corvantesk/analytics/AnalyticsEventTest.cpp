#include "Corvantesk/analytics/AnalyticsEvent.h"
#include "Corvantesk/analytics/PrivacyFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include "tests/corvantesk/core/SdkTestSupport.h"

namespace corvantesk {
namespace {

std::vector<std::string> keysOf(const nlohmann::json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) {
        keys.push_back(it.key());
    }
    return keys;
}

TEST(AnalyticsEventFactories, FillTheirFixedFieldsAndNothingElse) {
    auto view = AnalyticsEvent::screenView("Inbox", std::nullopt, "S", std::nullopt);
    EXPECT_EQ(view.eventType, "screen_viewed");
    EXPECT_EQ(view.category, "navigation");
    EXPECT_FALSE(view.properties.has_value());
    EXPECT_EQ(nlohmann::json(view).count("properties"), 0u);
    EXPECT_EQ(nlohmann::ordered_json(view.toPayload()).count("properties"), 0u);

    auto withEmpty = AnalyticsEvent::screenView("Inbox", std::nullopt, "S", std::nullopt, AnyMap{});
    EXPECT_EQ(nlohmann::json(withEmpty)["properties"], nlohmann::json::object());
    EXPECT_EQ(nlohmann::ordered_json(withEmpty.toPayload())["properties"], nlohmann::json::object());

    EXPECT_EQ(AnalyticsEvent::featureUsed("export", std::nullopt, "S").category, "feature");
    EXPECT_EQ(AnalyticsEvent::featureUsed("export", std::string(), "S").category, "");

    auto search = AnalyticsEvent::search("hello", std::nullopt, "S");
    ASSERT_TRUE(search.properties);
    EXPECT_EQ(search.properties->size(), 1u);
    EXPECT_EQ(search.properties->at("query"), AnyCodable("hello"));
    EXPECT_EQ(AnalyticsEvent::search("q", 3, "S").properties->at("resultsCount"), AnyCodable(3));

    auto bare = AnalyticsEvent::conversion("purchase", std::nullopt, std::nullopt, "S");
    EXPECT_EQ(bare.properties, AnyMap{});
    auto overwritten =
        AnalyticsEvent::conversion("purchase", 10.0, std::string("EUR"), "S", AnyMap{{"value", "ten"}, {"sku", "A1"}});
    EXPECT_EQ(overwritten.properties->at("value"), AnyCodable(10.0));
    EXPECT_EQ(overwritten.properties->at("currency"), AnyCodable("EUR"));
    EXPECT_EQ(overwritten.properties->at("sku"), AnyCodable("A1"));

    auto error = AnalyticsEvent::error("boom", std::nullopt, "S");
    EXPECT_EQ(error.category, "error");
    EXPECT_EQ(error.properties, (AnyMap{{"message", "boom"}}));

    auto first = AnalyticsEvent::make("a", "S");
    auto second = AnalyticsEvent::make("a", "S");
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(first.id.size(), 36u);
}

TEST(AnalyticsEventCoding, PayloadDropsLabelsAndUserIdWhileTheOfflineFormKeepsThem) {
    auto event = AnalyticsEvent::buttonClick("save", std::string("Save"), std::string("Editor"), "S");
    event.screenLabel = "The editor";
    event.userId = "user-7";
    const nlohmann::json offline = event;
    EXPECT_EQ(offline["screenLabel"], "The editor");
    EXPECT_EQ(offline["elementLabel"], "Save");
    EXPECT_EQ(offline["userId"], "user-7");
    const nlohmann::ordered_json wire = event.toPayload();
    EXPECT_EQ(wire.count("screenLabel") + wire.count("elementLabel") + wire.count("userId"), 0u);
    EXPECT_EQ(wire["element"], "save");
}

TEST(AnalyticsEventCoding, MinimalEventHasOnlyTheFourRequiredKeysAndReadsBackEqual) {
    auto event = AnalyticsEvent::make("app_launched", "S");
    const nlohmann::json offline = event;
    EXPECT_EQ(keysOf(offline), (std::vector<std::string>{"eventType", "id", "sessionId", "timestamp"}));
    EXPECT_TRUE(offline["timestamp"].is_number());
    EXPECT_EQ(offline.get<AnalyticsEvent>(), event);

    auto full = AnalyticsEvent::timed("export", 1234, std::string("io"), "S", std::string("Main"),
                                      AnyMap{{"n", 1}, {"ratio", 0.5}, {"ok", true}, {"none", nullptr}});
    full.referrer = "Start";
    full.userId = "u";
    const nlohmann::json encoded = full;
    const auto decoded = encoded.get<AnalyticsEvent>();
    EXPECT_EQ(decoded, full);
    EXPECT_EQ(nlohmann::json(decoded).dump(), encoded.dump());
}

// Once the queue keeps an event in its file form alone, what it sends is on the wire byte for byte what the
// caller queued, for every field and every kind of property value.
TEST(AnalyticsEventCoding, AQueuedEventGoesOutAsTheCallerMadeIt) {
    const auto payload = [](const AnalyticsEvent& event) { return event.toPayload(); };

    const double inf = std::numeric_limits<double>::infinity();
    auto full = AnalyticsEvent::timed(
        "export", INT64_MIN, std::string("io"), "S", std::string("Main"),
        AnyMap{{"ratio", 0.1},
               {"huge", 1e300},
               {"tiny", 5e-324},
               {"zero", -0.0},
               {"whole", 3.0},
               {"nan", NAN},
               {"inf", inf},
               {"minusInf", -inf},
               {"low", INT64_MIN},
               {"high", INT64_MAX},
               {"above", UINT64_MAX},
               {"when", platform::AbsoluteTime{-12345.678}},
               {"broken", "a\xFF\xC3(b"},
               {"control", std::string("nul\0tab\t\"quote\"", 16)},
               {"empty", ""},
               {"", "empty key"},
               {"nested", AnyCodable::Array{AnyCodable::Array{AnyCodable::Array{}}, AnyCodable::Object{},
                                            AnyCodable::Object{{"k", AnyCodable::Array{nullptr, false, 1.5}}}}}});
    full.referrer = "Start";
    full.element = "e";
    full.screenLabel = "label";
    full.elementLabel = "label";
    full.userId = "u";
    full.timestamp = platform::AbsoluteTime{812345678.123456789};
    const std::vector<AnalyticsEvent> events{full, AnalyticsEvent::make("app_launched", "")};
    const auto sent = sdktest::sentOnTheWire(events, payload);
    ASSERT_EQ(sent.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(sent[i], sdktest::wireText(payload(events[i]))) << i;
    }
}

TEST(AnalyticsEventCoding, MissingRequiredKeysFailToDecode) {
    nlohmann::json missing = nlohmann::json(AnalyticsEvent::make("x", "S"));
    missing.erase("sessionId");
    EXPECT_ANY_THROW(missing.get<AnalyticsEvent>());
    nlohmann::json textDate = nlohmann::json(AnalyticsEvent::make("x", "S"));
    textDate["timestamp"] = "2024-01-01T00:00:00Z";
    EXPECT_ANY_THROW(textDate.get<AnalyticsEvent>());
}

// A crafted queue file may hold any number where an integer belongs: out of range, it fails to decode (and the
// element is skipped) instead of being converted.
TEST(AnalyticsEventCoding, NumbersOutOfRangeFailToDecode) {
    for (const double huge : {1e300, -1e300, 9.3e18}) {
        nlohmann::json event = nlohmann::json(AnalyticsEvent::timed("load", 1, std::nullopt, "S"));
        event["duration"] = huge;
        EXPECT_ANY_THROW(event.get<AnalyticsEvent>()) << huge;
    }
    nlohmann::json farDate = nlohmann::json(AnalyticsEvent::make("x", "S"));
    farDate["timestamp"] = 1e300;
    EXPECT_ANY_THROW(farDate.get<AnalyticsEvent>());
    nlohmann::json whole = nlohmann::json(AnalyticsEvent::timed("load", 1, std::nullopt, "S"));
    whole["duration"] = 250.0;
    EXPECT_EQ(whole.get<AnalyticsEvent>().duration, 250);
}

// Event ids come from a per-thread generator: still version-4 UUIDs in the SDK's form, and never the same twice,
// within a thread or across threads.
TEST(AnalyticsEventFactories, EventIdsAreDistinctUuidsOnEveryThread) {
    std::vector<std::vector<std::string>> perThread(4);
    {
        std::vector<std::jthread> threads;
        for (auto& ids : perThread) {
            threads.emplace_back([&ids] {
                for (int i = 0; i < 2000; ++i) {
                    ids.push_back(AnalyticsEvent::make("x", "S").id);
                }
            });
        }
    }
    std::set<std::string> all;
    for (const auto& ids : perThread) {
        for (const auto& id : ids) {
            ASSERT_EQ(id.size(), 36u);
            EXPECT_EQ(id[14], '4') << id;
            EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
            EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << id;
            all.insert(id);
        }
    }
    EXPECT_EQ(all.size(), 8000u);
}

TEST(PrivacyFilter, DropsKeysContainingProtectedWordsAnywhere) {
    for (const char* key : {"userName", "Email_Address", "filename", "description", "shipping", "PHONE", "ssn", "dob",
                            "birthdate", "ip"}) {
        EXPECT_TRUE(isProtectedPropertyKey(key)) << key;
    }
    for (const char* key : {"count", "screen", "query", "value", "currency"}) {
        EXPECT_FALSE(isProtectedPropertyKey(key)) << key;
    }
    AnyMap properties{{"userName", "x"}, {"count", 2}, {"description", "y"}};
    removeProtectedProperties(properties);
    EXPECT_EQ(properties, (AnyMap{{"count", 2}}));
}

} // namespace
} // namespace corvantesk
