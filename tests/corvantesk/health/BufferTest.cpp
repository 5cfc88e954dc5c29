#include "Corvantesk/health/BreadcrumbBuffer.h"
#include "Corvantesk/health/LogBuffer.h"
#include "Corvantesk/health/RecordedText.h"
#include "platform/core/Utf8Text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace corvantesk {
namespace {

TEST(BreadcrumbBuffer, KeepsTheNewestUpToItsSizeInOrder) {
    BreadcrumbBuffer buffer(100);
    for (int i = 0; i < 101; ++i) {
        buffer.add(Breadcrumb("user", std::to_string(i)));
    }
    auto all = buffer.all();
    ASSERT_EQ(all.size(), 100u);
    EXPECT_EQ(all.front().message, "1");
    EXPECT_EQ(all.back().message, "100");
    EXPECT_EQ(buffer.recent(0).size(), 0u);
    EXPECT_EQ(buffer.recent(1000).size(), 100u);
    auto lastTwo = buffer.recent(2);
    ASSERT_EQ(lastTwo.size(), 2u);
    EXPECT_EQ(lastTwo[0].message, "99");
    EXPECT_TRUE(buffer.recent(-3).empty());

    BreadcrumbBuffer none(0);
    none.add(Breadcrumb("user", "x"));
    EXPECT_EQ(none.count(), 0u);
    buffer.clear();
    EXPECT_TRUE(buffer.all().empty());
}

TEST(BreadcrumbBuffer, StaysBoundedUnderConcurrentWriters) {
    BreadcrumbBuffer buffer(50);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&buffer] {
            for (int i = 0; i < 500; ++i) {
                buffer.add(Breadcrumb("state", "x"));
                (void)buffer.all();
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(buffer.count(), 50u);
}

TEST(BreadcrumbFactories, BuildTheirMessagesAndData) {
    auto nav = Breadcrumb::navigation("Inbox", "Settings");
    EXPECT_EQ(nav.category, "navigation");
    EXPECT_EQ(nav.message, "Navigated from Inbox to Settings");
    EXPECT_EQ(nav.data, (AnyMap{{"from", "Inbox"}, {"to", "Settings"}}));
    EXPECT_EQ(nav.id.size(), 36u);

    EXPECT_FALSE(Breadcrumb::user("tapped").data.has_value());
    EXPECT_EQ(Breadcrumb::user("tapped", std::string("Main")).data, (AnyMap{{"screen", "Main"}}));

    auto request = Breadcrumb::network("POST", "https://x.test/a", 404, 1.5);
    EXPECT_EQ(request.message, "POST https://x.test/a");
    EXPECT_EQ(request.data,
              (AnyMap{{"method", "POST"}, {"url", "https://x.test/a"}, {"statusCode", 404}, {"durationMs", 1500}}));
    EXPECT_EQ(Breadcrumb::network("GET", "u", std::nullopt, 0.2504).data->at("durationMs"), AnyCodable(250));
    EXPECT_EQ(Breadcrumb::network("GET", "u").data->size(), 2u);
    EXPECT_EQ(Breadcrumb::network("GET", "u", std::nullopt, std::numeric_limits<double>::infinity()).data->size(), 2u);

    EXPECT_EQ(Breadcrumb::state("s", std::nullopt, AnyCodable(2)).data, (AnyMap{{"newValue", 2}}));
    EXPECT_FALSE(Breadcrumb::state("s", std::nullopt, std::nullopt).data.has_value());
    EXPECT_EQ(Breadcrumb::ui("tap", "save", std::nullopt).message, "tap: save");

    std::runtime_error failure("disk full");
    auto error = Breadcrumb::error("write failed", &failure);
    EXPECT_EQ(error.data, (AnyMap{{"errorType", "std::runtime_error"}, {"errorDescription", "disk full"}}));
    EXPECT_FALSE(Breadcrumb::error("plain").data.has_value());
}

TEST(BreadcrumbCoding, OfflineFormRoundTripsAndLeavesOutAbsentData) {
    auto plain = Breadcrumb::user("x");
    const nlohmann::json encoded = plain;
    EXPECT_EQ(encoded.count("data"), 0u);
    EXPECT_TRUE(encoded["timestamp"].is_number());
    EXPECT_EQ(encoded.get<Breadcrumb>(), plain);

    auto nav = Breadcrumb::navigation("A", "B");
    EXPECT_EQ(nlohmann::json(nav).get<Breadcrumb>(), nav);
    EXPECT_TRUE(toJson(nav, JsonDates::iso8601)["timestamp"].is_string());

    nlohmann::json missing = encoded;
    missing.erase("category");
    EXPECT_ANY_THROW(missing.get<Breadcrumb>());
}

TEST(LogBuffer, BoundsFiltersAndSelects) {
    LogBuffer buffer(50);
    for (int i = 0; i < 51; ++i) {
        buffer.info(std::to_string(i));
    }
    EXPECT_EQ(buffer.count(), 50u);
    EXPECT_EQ(buffer.all().front().message, "1");

    LogBuffer none(0);
    none.error("x");
    EXPECT_EQ(none.count(), 0u);

    LogBuffer filtered(10);
    filtered.setMinimumLevel(LogLevel::warning);
    filtered.debug("d");
    filtered.info("i");
    filtered.warning("w", std::string("net"));
    filtered.error("e");
    ASSERT_EQ(filtered.count(), 2u);
    EXPECT_EQ(filtered.entries(LogLevel::warning).size(), 1u);
    EXPECT_EQ(filtered.entries(std::string("net")).size(), 1u);
    EXPECT_EQ(filtered.entries(std::string("")).size(), 0u);
    filtered.setMinimumLevel(LogLevel::debug);
    EXPECT_EQ(filtered.count(), 2u); // lowering the level brings nothing back
    EXPECT_EQ(filtered.recent(1).front().message, "e");
}

TEST(LogEntryCoding, LevelIsItsNameAndUnknownLevelsFail) {
    LogBuffer buffer(5);
    buffer.warning("careful");
    const nlohmann::json encoded = buffer.all().front();
    EXPECT_EQ(encoded["level"], "warning");
    EXPECT_EQ(encoded.count("tag"), 0u);
    EXPECT_EQ(encoded.get<LogEntry>(), buffer.all().front());

    nlohmann::json bad = encoded;
    bad["level"] = "Warning";
    EXPECT_ANY_THROW(bad.get<LogEntry>());
    EXPECT_LT(LogLevel::debug, LogLevel::info);
    EXPECT_LT(LogLevel::warning, LogLevel::error);
    EXPECT_EQ(logLevelFromName("fatal"), std::nullopt);
}

// A text recorded once rides along in every queued event, so long ones are cut when recorded, never mid-character.
TEST(RecordedTexts, LongLogLinesBreadcrumbsAndMetadataAreCutAtACharacterBoundary) {
    std::string accented;
    for (int i = 0; i < 50000; ++i) {
        accented += "\xC3\xA9"; // é
    }
    const auto wellFormedAndShort = [](const std::string& text) {
        return text.size() <= maxRecordedTextBytes && platform::utf8::isValid(text) && !text.empty();
    };

    LogBuffer logs(5);
    logs.error("x" + accented);
    EXPECT_TRUE(wellFormedAndShort(logs.all().front().message)) << logs.all().front().message.size();

    BreadcrumbBuffer trail(5);
    trail.add(Breadcrumb(
        "user", accented,
        AnyMap{{"detail", accented}, {"count", 3}, {"nested", AnyMap{{"deep", AnyCodable::Array{accented}}}}}));
    const auto crumb = trail.all().front();
    EXPECT_TRUE(wellFormedAndShort(crumb.message));
    ASSERT_TRUE(crumb.data);
    EXPECT_TRUE(wellFormedAndShort(*crumb.data->at("detail").getIf<std::string>()));
    EXPECT_EQ(crumb.data->at("count"), AnyCodable(3));
    const auto& deep = *crumb.data->at("nested").getIf<AnyCodable::Object>()->at("deep").getIf<AnyCodable::Array>();
    EXPECT_TRUE(wellFormedAndShort(*deep.front().getIf<std::string>()));

    AnyMap metadata{{"reason", accented}, {"short", "kept"}};
    limitRecordedValues(metadata);
    EXPECT_TRUE(wellFormedAndShort(*metadata.at("reason").getIf<std::string>()));
    EXPECT_EQ(metadata.at("short"), AnyCodable("kept"));
    EXPECT_EQ(limitRecordedText("short text"), "short text");
}

} // namespace
} // namespace corvantesk
