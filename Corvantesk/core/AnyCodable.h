#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// Thrown when JSON holds something an AnyCodable cannot carry (binary or discarded values).
class AnyCodableError : public std::runtime_error {
public:
    AnyCodableError() : std::runtime_error("AnyCodable cannot decode value") {}
    std::string description() const { return what(); }
};

// One free-form JSON-compatible value: event properties, health metadata, breadcrumb data, feedback metadata.
// Decoding yields null, Bool, signed integer, double, text, array or object; a date is only ever made by the
// caller and is written as ISO 8601 text. Unsigned integers that fit a signed 64-bit integer are held as
// signed ones, so a value read back from JSON equals the one written. Equality is deep; an integer never
// equals a double. A plain value: copy it freely, share it between threads read-only.
class AnyCodable {
public:
    using Array = std::vector<AnyCodable>;
    using Object = std::map<std::string, AnyCodable>;
    using Value = std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string,
                               platform::AbsoluteTime, Array, Object>;

    AnyCodable() = default; // null
    AnyCodable(std::nullptr_t) {}
    AnyCodable(bool value) : value_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) AnyCodable(T value) {
        if constexpr (std::is_signed_v<T>) {
            value_ = static_cast<std::int64_t>(value);
        } else if (static_cast<std::uint64_t>(value) <=
                   static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            value_ = static_cast<std::int64_t>(value);
        } else {
            value_ = static_cast<std::uint64_t>(value);
        }
    }
    AnyCodable(double value) : value_(value) {}
    AnyCodable(float value) : value_(static_cast<double>(value)) {}
    AnyCodable(const char* value) : value_(std::string(value)) {}
    AnyCodable(std::string value) : value_(std::move(value)) {}
    AnyCodable(std::string_view value) : value_(std::string(value)) {}
    AnyCodable(platform::AbsoluteTime value) : value_(value) {}
    AnyCodable(Array value) : value_(std::move(value)) {}
    AnyCodable(Object value) : value_(std::move(value)) {}
    template <class T> AnyCodable(const std::optional<T>& value) {
        if (value) {
            *this = AnyCodable(*value);
        }
    }

    const Value& value() const { return value_; }
    bool isNull() const { return std::holds_alternative<std::nullptr_t>(value_); }
    template <class T> const T* getIf() const { return std::get_if<T>(&value_); }

    // The value's own text: "null", "true", "42", "3.5", the string itself, ISO 8601 for a date, JSON for
    // arrays and objects.
    std::string description() const;

    nlohmann::json toJson() const;
    nlohmann::ordered_json toOrderedJson() const;
    // Throws AnyCodableError for JSON that is none of the seven kinds.
    static AnyCodable fromJson(const nlohmann::json& json);
    static AnyCodable fromJson(const nlohmann::ordered_json& json);

    friend bool operator==(const AnyCodable& lhs, const AnyCodable& rhs);

private:
    Value value_;
};

// The free maps the SDK passes around (properties, metadata).
using AnyMap = AnyCodable::Object;

// Cuts every text value longer than `maxBytes` (nested arrays and objects included) at a character boundary.
void cutLongTexts(AnyMap& values, std::size_t maxBytes);

nlohmann::ordered_json toOrderedJson(const AnyMap& map);
nlohmann::json toJson(const AnyMap& map);
AnyMap anyMapFromJson(const nlohmann::json& json); // throws AnyCodableError, or nlohmann's type_error for a non-object

// nlohmann-json hooks, so AnyCodable values sit inside any JSON the SDK builds.
void to_json(nlohmann::json& json, const AnyCodable& value);
void to_json(nlohmann::ordered_json& json, const AnyCodable& value);
void from_json(const nlohmann::json& json, AnyCodable& value);
void from_json(const nlohmann::ordered_json& json, AnyCodable& value);

} // namespace corvantesk
