#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace platform {

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the reference date of the
// Messages databases and of the SDK's queue files.
struct AbsoluteTime {
    // Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
    static constexpr double kUnixToReference = 978307200.0;

    double secondsSinceReferenceDate = 0.0;

    static AbsoluteTime now();
    static AbsoluteTime fromUnixSeconds(double seconds) { return {seconds - kUnixToReference}; }
    static AbsoluteTime fromSystemClock(std::chrono::system_clock::time_point tp);

    double unixSeconds() const { return secondsSinceReferenceDate + kUnixToReference; }
    std::chrono::system_clock::time_point toSystemClock() const;

    auto operator<=>(const AbsoluteTime&) const = default;
    bool operator==(const AbsoluteTime&) const = default;
};

// "2026-03-05T14:07:09Z": ISO 8601 internet date-time in UTC, whole seconds (fraction truncated).
std::string formatIso8601(AbsoluteTime time);
// Parses the form above, also with fractional seconds or a numeric offset. nullopt when malformed.
std::optional<AbsoluteTime> parseIso8601(const std::string& text);

} // namespace platform
