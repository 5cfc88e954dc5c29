#include "Corvantesk/core/AnyCodable.h"

#include <cmath>

#include "platform/core/Utf8Text.h"

namespace corvantesk {
namespace {

template <class Json> Json encode(const AnyCodable& any) {
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                return Json(nullptr);
            } else if constexpr (std::is_same_v<T, platform::AbsoluteTime>) {
                return Json(platform::formatIso8601(v));
            } else if constexpr (std::is_same_v<T, AnyCodable::Array>) {
                Json array = Json::array();
                for (const auto& element : v) {
                    array.push_back(encode<Json>(element));
                }
                return array;
            } else if constexpr (std::is_same_v<T, AnyCodable::Object>) {
                Json object = Json::object();
                for (const auto& [key, element] : v) {
                    object[key] = encode<Json>(element);
                }
                return object;
            } else {
                return Json(v);
            }
        },
        any.value());
}

template <class Json> AnyCodable decode(const Json& json) {
    switch (json.type()) {
    case nlohmann::json::value_t::null:
        return AnyCodable();
    case nlohmann::json::value_t::boolean:
        return AnyCodable(json.template get<bool>());
    case nlohmann::json::value_t::number_integer:
        return AnyCodable(json.template get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
        return AnyCodable(json.template get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
        return AnyCodable(json.template get<double>());
    case nlohmann::json::value_t::string:
        return AnyCodable(json.template get<std::string>());
    case nlohmann::json::value_t::array: {
        AnyCodable::Array array;
        array.reserve(json.size());
        for (const auto& element : json) {
            array.push_back(decode(element));
        }
        return AnyCodable(std::move(array));
    }
    case nlohmann::json::value_t::object: {
        AnyCodable::Object object;
        for (auto it = json.begin(); it != json.end(); ++it) {
            object.emplace(it.key(), decode(it.value()));
        }
        return AnyCodable(std::move(object));
    }
    default:
        throw AnyCodableError();
    }
}

} // namespace

std::string AnyCodable::description() const {
    if (const auto* text = getIf<std::string>()) {
        return *text;
    }
    if (const auto* date = getIf<platform::AbsoluteTime>()) {
        return platform::formatIso8601(*date);
    }
    return toJson().dump();
}

nlohmann::json AnyCodable::toJson() const {
    return encode<nlohmann::json>(*this);
}
nlohmann::ordered_json AnyCodable::toOrderedJson() const {
    return encode<nlohmann::ordered_json>(*this);
}
AnyCodable AnyCodable::fromJson(const nlohmann::json& json) {
    return decode(json);
}
AnyCodable AnyCodable::fromJson(const nlohmann::ordered_json& json) {
    return decode(json);
}

bool operator==(const AnyCodable& lhs, const AnyCodable& rhs) {
    // Signed and unsigned integers are one kind; everything else must match kind and value, element by element.
    const auto* ls = lhs.getIf<std::int64_t>();
    const auto* lu = lhs.getIf<std::uint64_t>();
    const auto* rs = rhs.getIf<std::int64_t>();
    const auto* ru = rhs.getIf<std::uint64_t>();
    if ((ls || lu) && (rs || ru)) {
        if (ls && rs) {
            return *ls == *rs;
        }
        if (lu && ru) {
            return *lu == *ru;
        }
        return false; // an unsigned value is held only above the signed range
    }
    return lhs.value_ == rhs.value_;
}

nlohmann::ordered_json toOrderedJson(const AnyMap& map) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& [key, value] : map) {
        object[key] = value.toOrderedJson();
    }
    return object;
}

nlohmann::json toJson(const AnyMap& map) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : map) {
        object[key] = value.toJson();
    }
    return object;
}

AnyMap anyMapFromJson(const nlohmann::json& json) {
    if (!json.is_object()) {
        throw nlohmann::json::type_error::create(302, "metadata is not an object", &json);
    }
    AnyMap map;
    for (auto it = json.begin(); it != json.end(); ++it) {
        map.emplace(it.key(), AnyCodable::fromJson(it.value()));
    }
    return map;
}

void to_json(nlohmann::json& json, const AnyCodable& value) {
    json = value.toJson();
}
void to_json(nlohmann::ordered_json& json, const AnyCodable& value) {
    json = value.toOrderedJson();
}
void from_json(const nlohmann::json& json, AnyCodable& value) {
    value = AnyCodable::fromJson(json);
}
void from_json(const nlohmann::ordered_json& json, AnyCodable& value) {
    value = AnyCodable::fromJson(json);
}

namespace {

// The value with its long texts cut; only the branches that change are copied.
std::optional<AnyCodable> cutCopy(const AnyCodable& value, std::size_t maxBytes) {
    if (const auto* text = value.getIf<std::string>(); text != nullptr && text->size() > maxBytes) {
        return AnyCodable(std::string(platform::utf8::prefixBytes(*text, maxBytes)));
    }
    if (const auto* array = value.getIf<AnyCodable::Array>()) {
        std::optional<AnyCodable::Array> copy;
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (auto cut = cutCopy((*array)[i], maxBytes)) {
                if (!copy) {
                    copy = *array;
                }
                (*copy)[i] = std::move(*cut);
            }
        }
        return copy ? std::optional<AnyCodable>(AnyCodable(std::move(*copy))) : std::nullopt;
    }
    if (const auto* object = value.getIf<AnyCodable::Object>()) {
        AnyCodable::Object copy = *object;
        cutLongTexts(copy, maxBytes);
        return copy == *object ? std::nullopt : std::optional<AnyCodable>(AnyCodable(std::move(copy)));
    }
    return std::nullopt;
}

} // namespace

void cutLongTexts(AnyMap& values, std::size_t maxBytes) {
    for (auto& [key, value] : values) {
        if (auto cut = cutCopy(value, maxBytes)) {
            value = std::move(*cut);
        }
    }
}

} // namespace corvantesk
