#include "Corvantesk/core/OptionLimits.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace corvantesk {

std::int64_t effectiveQueueSize(std::int64_t maxQueueSize) {
    return std::max<std::int64_t>(maxQueueSize, 1);
}

std::int64_t effectiveBatchSize(std::int64_t batchSize) {
    return std::max<std::int64_t>(batchSize, 1);
}

std::int64_t effectiveStackLength(std::int64_t maxStackTraceLength) {
    return std::max<std::int64_t>(maxStackTraceLength, 0);
}

double effectiveInterval(double seconds, double fallback, double minimum) {
    if (!std::isfinite(seconds) || seconds <= 0.0) {
        seconds = fallback;
    }
    return std::clamp(seconds, std::min(minimum, kMaxIntervalSeconds), kMaxIntervalSeconds);
}

std::chrono::nanoseconds toDuration(double seconds) {
    const double clamped = std::clamp(seconds, 0.0, kMaxIntervalSeconds);
    return std::chrono::nanoseconds(static_cast<std::int64_t>(clamped * 1e9));
}

std::string plainDecimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace corvantesk
