#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Corvantesk/core/AnyCodable.h"

namespace corvantesk {

class AnalyticsClient;

// Measures how long one action takes and reports it as a timed event each time complete() is called, always
// measured from the moment the tracker was made. The monotonic clock is used, so a change of the system time
// never yields a negative or inflated duration.
//
// Immutable after construction: complete() may be called from any thread, any number of times.
class TimedActionTracker {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Receives one completed measurement: event type, whole milliseconds, category, properties.
    using Reporter = std::function<void(const std::string& eventType, std::int64_t durationMilliseconds,
                                        const std::optional<std::string>& category, std::optional<AnyMap> properties)>;

    // Starts measuring now. A tracker without a reporter measures but reports nothing.
    TimedActionTracker(std::string eventType, std::optional<std::string> category, Reporter reporter,
                       Clock clock = std::chrono::steady_clock::now);

    // Reports the time elapsed since construction, in milliseconds truncated toward zero.
    void complete(std::optional<AnyMap> properties = std::nullopt) const;

    const std::string& eventType() const { return eventType_; }
    const std::optional<std::string>& category() const { return category_; }

    // Whole milliseconds of `elapsed`, truncated toward zero.
    static std::int64_t wholeMilliseconds(std::chrono::steady_clock::duration elapsed);
    // A reporter handing measurements to `client`'s trackTimed; the client must outlive the tracker.
    static Reporter reportingTo(AnalyticsClient& client);

private:
    const std::string eventType_;
    const std::optional<std::string> category_;
    const Reporter reporter_;
    const Clock clock_;
    const std::chrono::steady_clock::time_point startTime_;
};

// The properties of a "feature_flag_evaluated" event: "flagName", "value" and, when given, "source".
AnyMap featureFlagProperties(const std::string& flagName, bool value, const std::optional<std::string>& source);
// Reports one "feature_flag_evaluated" event in category "feature_flags" with no screen.
void trackFeatureFlag(AnalyticsClient& client, const std::string& flagName, bool value,
                      const std::optional<std::string>& source = std::nullopt);

} // namespace corvantesk
