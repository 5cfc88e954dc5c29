#pragma once

#include <cmath>
#include <concepts>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

namespace corvantesk {

// A JSON number as T, for values read back from files anyone could have written: a number T cannot hold (out of
// range, not finite, or a negative one for an unsigned T) throws nlohmann's type_error instead of being converted,
// since converting an out-of-range double is undefined. Anything else reads as nlohmann's get<T>() does.
template <class T, class Json> T numberAs(const Json& json) {
    if constexpr (std::is_arithmetic_v<T> && !std::same_as<T, bool>) {
        if (json.is_number_float()) {
            const double value = json.template get<double>();
            bool fits = std::isfinite(value);
            if constexpr (std::is_integral_v<T>) {
                // 2^digits is an exact double: the first value past the top. The fraction is dropped, so an
                // unsigned T takes anything above -1.
                const double high = std::ldexp(1.0, std::numeric_limits<T>::digits);
                fits = fits && value < high && (std::is_signed_v<T> ? value >= -high : value > -1.0);
            } else {
                fits = fits && std::fabs(value) <= static_cast<double>(std::numeric_limits<T>::max());
            }
            if (!fits) {
                throw nlohmann::json::type_error::create(302, "number out of range", &json);
            }
        } else if constexpr (std::is_unsigned_v<T>) {
            if (json.is_number_integer() && !json.is_number_unsigned() && json.template get<std::int64_t>() < 0) {
                throw nlohmann::json::type_error::create(302, "negative number for an unsigned value", &json);
            }
        }
    }
    return json.template get<T>();
}

// A date read back from a file, in seconds since 2001: a number within about 3,000 years of then, since dates far
// outside that range cannot be turned into calendar dates. Throws nlohmann's type_error otherwise.
template <class Json> double dateSecondsFrom(const Json& json) {
    const double seconds = json.is_number() ? json.template get<double>() : NAN;
    if (!(std::fabs(seconds) < 1e11)) {
        throw nlohmann::json::type_error::create(302, "date is not a number of seconds in range", &json);
    }
    return seconds;
}

// Absent optionals are left out of the JSON rather than written as null.
template <class Json, class T> void putOptional(Json& json, const char* key, const std::optional<T>& value) {
    if (value) {
        json[key] = *value;
    }
}

// A missing or null key reads as an empty optional; numbers are range-checked (numberAs).
template <class Json, class T> void readOptional(const Json& json, const char* key, std::optional<T>& value) {
    value.reset();
    if (auto it = json.find(key); it != json.end() && !it->is_null()) {
        value = numberAs<T>(*it);
    }
}

} // namespace corvantesk
