#include "platform/core/AbsoluteTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace platform {

AbsoluteTime AbsoluteTime::now() { return fromSystemClock(std::chrono::system_clock::now()); }

AbsoluteTime AbsoluteTime::fromSystemClock(std::chrono::system_clock::time_point tp) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(tp.time_since_epoch()).count();
    return fromUnixSeconds(static_cast<double>(micros) / 1e6);
}

std::chrono::system_clock::time_point AbsoluteTime::toSystemClock() const {
    const auto micros = static_cast<long long>(std::llround(unixSeconds() * 1e6));
    return std::chrono::system_clock::time_point(std::chrono::microseconds(micros));
}

std::string formatIso8601(AbsoluteTime time) {
    const double unix = std::floor(time.unixSeconds());
    const std::time_t seconds = static_cast<std::time_t>(unix);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::optional<AbsoluteTime> parseIso8601(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    std::size_t pos = static_cast<std::size_t>(consumed);
    double fraction = 0.0;
    if (pos < text.size() && text[pos] == '.') {
        double scale = 0.1;
        ++pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fraction += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
    }
    long offset = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        int oh = 0, om = 0;
        if (std::sscanf(text.c_str() + pos + 1, "%2d:%2d", &oh, &om) != 2) {
            return std::nullopt;
        }
        offset = (oh * 3600L + om * 60L) * (text[pos] == '+' ? 1 : -1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    const std::time_t unix = ::timegm(&parts);
    return AbsoluteTime::fromUnixSeconds(static_cast<double>(unix - offset) + fraction);
}

} // namespace platform
