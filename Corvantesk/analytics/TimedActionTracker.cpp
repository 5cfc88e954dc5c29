#include "Corvantesk/analytics/TimedActionTracker.h"

#include "Corvantesk/analytics/AnalyticsClient.h"

namespace corvantesk {

TimedActionTracker::TimedActionTracker(std::string eventType, std::optional<std::string> category, Reporter reporter,
                                       Clock clock)
    : eventType_(std::move(eventType)), category_(std::move(category)), reporter_(std::move(reporter)),
      clock_(clock ? std::move(clock) : Clock(std::chrono::steady_clock::now)), startTime_(clock_()) {}

void TimedActionTracker::complete(std::optional<AnyMap> properties) const {
    if (!reporter_) {
        return;
    }
    reporter_(eventType_, wholeMilliseconds(clock_() - startTime_), category_, std::move(properties));
}

std::int64_t TimedActionTracker::wholeMilliseconds(std::chrono::steady_clock::duration elapsed) {
    // duration_cast truncates toward zero; a monotonic clock never runs backwards, but an injected one might.
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return milliseconds < 0 ? 0 : static_cast<std::int64_t>(milliseconds);
}

TimedActionTracker::Reporter TimedActionTracker::reportingTo(AnalyticsClient& client) {
    return [&client](const std::string& eventType, std::int64_t durationMilliseconds,
                     const std::optional<std::string>& category, std::optional<AnyMap> properties) {
        client.trackTimed(eventType, durationMilliseconds, category, std::move(properties));
    };
}

AnyMap featureFlagProperties(const std::string& flagName, bool value, const std::optional<std::string>& source) {
    AnyMap properties{{"flagName", AnyCodable(flagName)}, {"value", AnyCodable(value)}};
    if (source) {
        properties["source"] = AnyCodable(*source);
    }
    return properties;
}

void trackFeatureFlag(AnalyticsClient& client, const std::string& flagName, bool value,
                      const std::optional<std::string>& source) {
    client.track("feature_flag_evaluated", std::string("feature_flags"), std::nullopt,
                 featureFlagProperties(flagName, value, source));
}

} // namespace corvantesk
