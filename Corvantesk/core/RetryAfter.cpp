#include "Corvantesk/core/RetryAfter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace corvantesk {
namespace {

std::optional<int> number(const std::string& text, std::size_t pos, std::size_t digits) {
    if (pos + digits > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

} // namespace

std::optional<platform::AbsoluteTime> parseHttpDate(const std::string& text) {
    // "Sun, 06 Nov 1994 08:49:37 GMT": fixed positions.
    static const std::array<const char*, 12> months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text[3] != ',' || text[4] != ' ' || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' ||
        text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT") {
        return std::nullopt;
    }
    const auto day = number(text, 5, 2);
    const auto year = number(text, 12, 4);
    const auto hour = number(text, 17, 2);
    const auto minute = number(text, 20, 2);
    const auto second = number(text, 23, 2);
    const std::string monthText = text.substr(8, 3);
    const auto month = std::find_if(months.begin(), months.end(), [&](const char* m) { return monthText == m; });
    if (!day || !year || !hour || !minute || !second || month == months.end() || *day < 1 || *day > 31 || *hour > 23 ||
        *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    const auto monthNumber = static_cast<unsigned>(month - months.begin() + 1);
    const std::int64_t days = daysFromCivil(*year, monthNumber, static_cast<unsigned>(*day));
    const double unix = static_cast<double>(days * 86400 + *hour * 3600 + *minute * 60 + *second);
    return platform::AbsoluteTime::fromUnixSeconds(unix);
}

std::optional<double> parseRetryAfter(const std::string& text, platform::AbsoluteTime now) {
    double seconds = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (!text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size()) {
        if (!std::isfinite(seconds) || seconds < 0) {
            return std::nullopt;
        }
        return seconds;
    }
    if (const auto date = parseHttpDate(text)) {
        return std::max(0.0, date->secondsSinceReferenceDate - now.secondsSinceReferenceDate);
    }
    return std::nullopt;
}

} // namespace corvantesk
