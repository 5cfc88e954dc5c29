#pragma once

#include <optional>

#include <nlohmann/json.hpp>

namespace corvantesk {

// Absent optionals are left out of the JSON rather than written as null.
template <class Json, class T> void putOptional(Json& json, const char* key, const std::optional<T>& value) {
    if (value) {
        json[key] = *value;
    }
}

// A missing or null key reads as an empty optional.
template <class Json, class T> void readOptional(const Json& json, const char* key, std::optional<T>& value) {
    value.reset();
    if (auto it = json.find(key); it != json.end() && !it->is_null()) {
        value = it->template get<T>();
    }
}

} // namespace corvantesk
