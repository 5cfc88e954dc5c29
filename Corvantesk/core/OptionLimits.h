#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The option records keep what the caller gave; these turn raw values into ones the SDK can run with.
namespace corvantesk {

// Longest interval any SDK timer waits; also the cap on a server's Retry-After.
inline constexpr double kMaxIntervalSeconds = 24.0 * 60.0 * 60.0;
inline constexpr double kMaxRetryAfterSeconds = 60.0 * 60.0;

// At least 1: a queue of size 0 could hold nothing and would drop more than it has.
std::int64_t effectiveQueueSize(std::int64_t maxQueueSize);
// At least 1.
std::int64_t effectiveBatchSize(std::int64_t batchSize);
// At least 0.
std::int64_t effectiveStackLength(std::int64_t maxStackTraceLength);
// A value that is not finite or not positive gives `fallback`; anything shorter than `minimum` is raised to it
// (so a tiny interval cannot flood a server), anything longer than a day is cut to a day.
double effectiveInterval(double seconds, double fallback, double minimum = 0.0);
std::chrono::nanoseconds toDuration(double seconds);

// A double in the plain form the debug lines use: 30 gives "30.0", 0.25 gives "0.25".
std::string plainDecimal(double value);

} // namespace corvantesk
