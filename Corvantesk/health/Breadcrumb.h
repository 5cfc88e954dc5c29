#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/health/JsonDates.h"
#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// A short, timestamped note of something that happened before a problem. A plain value.
struct Breadcrumb {
    std::string id;                   // a new upper-case UUID
    platform::AbsoluteTime timestamp; // when it was made
    std::string category;             // "navigation", "user", "network", "system", "error", "ui", "state", ...
    std::string message;
    std::optional<AnyMap> data; // absent (not empty) when there is nothing to add

    Breadcrumb() = default; // for decoding
    // A breadcrumb made now with a fresh id.
    Breadcrumb(std::string category, std::string message, std::optional<AnyMap> data = std::nullopt);
    // Every field as given (decoding, copying).
    Breadcrumb(std::string id, platform::AbsoluteTime timestamp, std::string category, std::string message,
               std::optional<AnyMap> data);

    static Breadcrumb navigation(const std::string& from, const std::string& to);
    static Breadcrumb user(std::string message, const std::optional<std::string>& screen = std::nullopt);
    // "durationMs" is the duration in whole milliseconds, truncated; left out when not finite or out of range.
    static Breadcrumb network(const std::string& method, const std::string& url,
                              std::optional<std::int64_t> statusCode = std::nullopt,
                              std::optional<double> durationSeconds = std::nullopt);
    static Breadcrumb system(std::string message, std::optional<AnyMap> data = std::nullopt);
    static Breadcrumb error(std::string message, const std::exception* error = nullptr);
    static Breadcrumb ui(const std::string& action, const std::string& element,
                         const std::optional<std::string>& screen = std::nullopt);
    static Breadcrumb state(std::string message, const std::optional<AnyCodable>& oldValue,
                            const std::optional<AnyCodable>& newValue);

    bool operator==(const Breadcrumb&) const = default;
};

// Keys "id", "timestamp", "category", "message", then "data" when present.
nlohmann::json toJson(const Breadcrumb& breadcrumb, JsonDates dates);
// The offline form; throws nlohmann::json::exception or AnyCodableError on a missing or mistyped key.
Breadcrumb breadcrumbFromJson(const nlohmann::json& json);

// The offline-file form (dates as seconds since 2001).
void to_json(nlohmann::json& json, const Breadcrumb& breadcrumb);
void from_json(const nlohmann::json& json, Breadcrumb& breadcrumb);

} // namespace corvantesk
