#include "Corvantesk/analytics/TimedActionTracker.h"
#include "Corvantesk/analytics/AnalyticsClient.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvantesk {
namespace {

using namespace std::chrono_literals;

struct Report {
    std::string eventType;
    std::int64_t duration = 0;
    std::optional<std::string> category;
    std::optional<AnyMap> properties;
};

class TimedActionTrackerTest : public ::testing::Test {
protected:
    TimedActionTracker make(std::string eventType, std::optional<std::string> category) {
        return TimedActionTracker(
            std::move(eventType), std::move(category),
            [this](const std::string& type, std::int64_t duration, const std::optional<std::string>& cat,
                   std::optional<AnyMap> properties) {
                reports_.push_back({type, duration, cat, properties});
            },
            [this] { return now_; });
    }

    std::chrono::steady_clock::time_point now_{std::chrono::hours(5)};
    std::vector<Report> reports_;
};

TEST_F(TimedActionTrackerTest, EveryCompletionMeasuresFromTheSameStart) {
    const auto tracker = make("export_pdf", std::string("export"));
    now_ += 1500ms;
    tracker.complete(AnyMap{{"pages", 3}});
    now_ += 2250ms;
    tracker.complete();

    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[0].eventType, "export_pdf");
    EXPECT_EQ(reports_[0].category, "export");
    EXPECT_EQ(reports_[0].duration, 1500);
    EXPECT_EQ(reports_[0].properties, (AnyMap{{"pages", 3}}));
    EXPECT_EQ(reports_[1].duration, 3750);
    EXPECT_EQ(reports_[1].properties, std::nullopt);
}

TEST_F(TimedActionTrackerTest, DurationsAreTruncatedNeverRoundedNorNegative) {
    const auto tracker = make("load", std::nullopt);
    now_ += 999900us; // 0.9999 ms short of a second
    tracker.complete();
    now_ -= 10s; // an injected clock that goes back must not report a negative time
    tracker.complete();
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[0].duration, 999);
    EXPECT_EQ(reports_[1].duration, 0);
    EXPECT_EQ(TimedActionTracker::wholeMilliseconds(999900ns), 0);
    EXPECT_EQ(reports_[0].category, std::nullopt);
}

TEST_F(TimedActionTrackerTest, WithoutReporterNothingHappens) {
    const TimedActionTracker tracker("quiet", std::nullopt, nullptr, nullptr);
    tracker.complete(); // must not throw or crash
    EXPECT_EQ(tracker.eventType(), "quiet");
}

TEST(FeatureFlagTest, PropertiesHoldSourceOnlyWhenGiven) {
    EXPECT_EQ(featureFlagProperties("new_export", true, std::nullopt),
              (AnyMap{{"flagName", "new_export"}, {"value", true}}));
    EXPECT_EQ(featureFlagProperties("new_export", false, std::string("remote")),
              (AnyMap{{"flagName", "new_export"}, {"value", false}, {"source", "remote"}}));
}

TEST(FeatureFlagTest, TimedAndFlagEventsReachTheAnalyticsQueue) {
    qbtest::LoopbackHttpServer server;
    platform::UserDefaults defaults(qbtest::IsolatedHome::root() / "defaults.json");
    Storage storage(defaults, qbtest::IsolatedHome::root() / "Corvantesk");
    auto options = CorvanteskOptions::make("app.test", "secret");
    options.baseUrl = server.baseUrl();
    options.flushInterval = 3600;
    options.batchSize = 100;
    AnalyticsEnvironment environment;
    environment.storage = &storage;
    AnalyticsClient client(options, std::make_shared<HttpTransport>(options.baseUrl, "app.test", "secret", false),
                           environment);

    auto now = std::chrono::steady_clock::time_point(1h);
    const TimedActionTracker tracker("database_load", std::string("performance"),
                                     TimedActionTracker::reportingTo(client), [&] { return now; });
    now += 42ms;
    tracker.complete();
    trackFeatureFlag(client, "pdf_export", true);

    const auto events = client.pendingEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].eventType, "database_load");
    EXPECT_EQ(events[0].duration, 42);
    EXPECT_EQ(events[0].category, "performance");
    EXPECT_EQ(events[1].eventType, "feature_flag_evaluated");
    EXPECT_EQ(events[1].category, "feature_flags");
    EXPECT_EQ(events[1].properties, (AnyMap{{"flagName", "pdf_export"}, {"value", true}}));
}

} // namespace
} // namespace corvantesk
