#include "Corvantesk/health/Breadcrumb.h"

#include <cmath>

#include "Corvantesk/health/ErrorDescription.h"
#include "platform/core/Uuid.h"

namespace corvantesk {

Breadcrumb::Breadcrumb(std::string category, std::string message, std::optional<AnyMap> data)
    : id(platform::makeUuidString()), timestamp(platform::AbsoluteTime::now()), category(std::move(category)),
      message(std::move(message)), data(std::move(data)) {}

Breadcrumb::Breadcrumb(std::string id, platform::AbsoluteTime timestamp, std::string category, std::string message,
                       std::optional<AnyMap> data)
    : id(std::move(id)), timestamp(timestamp), category(std::move(category)), message(std::move(message)),
      data(std::move(data)) {}

Breadcrumb Breadcrumb::navigation(const std::string& from, const std::string& to) {
    return Breadcrumb("navigation", "Navigated from " + from + " to " + to, AnyMap{{"from", from}, {"to", to}});
}

Breadcrumb Breadcrumb::user(std::string message, const std::optional<std::string>& screen) {
    std::optional<AnyMap> data;
    if (screen) {
        data = AnyMap{{"screen", *screen}};
    }
    return Breadcrumb("user", std::move(message), std::move(data));
}

Breadcrumb Breadcrumb::network(const std::string& method, const std::string& url,
                               std::optional<std::int64_t> statusCode, std::optional<double> durationSeconds) {
    AnyMap data{{"method", method}, {"url", url}};
    if (statusCode) {
        data["statusCode"] = *statusCode;
    }
    if (durationSeconds) {
        const double milliseconds = std::trunc(*durationSeconds * 1000.0);
        // 2^63 as a double; anything at or beyond it has no 64-bit integer value.
        if (std::isfinite(milliseconds) && std::fabs(milliseconds) < 9223372036854775808.0) {
            data["durationMs"] = static_cast<std::int64_t>(milliseconds);
        }
    }
    return Breadcrumb("network", method + " " + url, std::move(data));
}

Breadcrumb Breadcrumb::system(std::string message, std::optional<AnyMap> data) {
    return Breadcrumb("system", std::move(message), std::move(data));
}

Breadcrumb Breadcrumb::error(std::string message, const std::exception* error) {
    std::optional<AnyMap> data;
    if (error != nullptr) {
        data = AnyMap{{"errorType", errorTypeName(*error)}, {"errorDescription", errorDescription(*error)}};
    }
    return Breadcrumb("error", std::move(message), std::move(data));
}

Breadcrumb Breadcrumb::ui(const std::string& action, const std::string& element,
                          const std::optional<std::string>& screen) {
    AnyMap data{{"element", element}};
    if (screen) {
        data["screen"] = *screen;
    }
    return Breadcrumb("ui", action + ": " + element, std::move(data));
}

Breadcrumb Breadcrumb::state(std::string message, const std::optional<AnyCodable>& oldValue,
                             const std::optional<AnyCodable>& newValue) {
    std::optional<AnyMap> data;
    if (oldValue || newValue) {
        data.emplace();
        if (oldValue) {
            (*data)["oldValue"] = *oldValue;
        }
        if (newValue) {
            (*data)["newValue"] = *newValue;
        }
    }
    return Breadcrumb("state", std::move(message), std::move(data));
}

nlohmann::json toJson(const Breadcrumb& breadcrumb, JsonDates dates) {
    nlohmann::json json = nlohmann::json::object();
    json["id"] = breadcrumb.id;
    json["timestamp"] = encodeDate(breadcrumb.timestamp, dates);
    json["category"] = breadcrumb.category;
    json["message"] = breadcrumb.message;
    if (breadcrumb.data) {
        json["data"] = toJson(*breadcrumb.data);
    }
    return json;
}

Breadcrumb breadcrumbFromJson(const nlohmann::json& json) {
    std::optional<AnyMap> data;
    if (auto it = json.find("data"); it != json.end() && !it->is_null()) {
        data = anyMapFromJson(*it);
    }
    return Breadcrumb(json.at("id").get<std::string>(), decodeReferenceDate(json.at("timestamp")),
                      json.at("category").get<std::string>(), json.at("message").get<std::string>(), std::move(data));
}

void to_json(nlohmann::json& json, const Breadcrumb& breadcrumb) {
    json = toJson(breadcrumb, JsonDates::referenceSeconds);
}

void from_json(const nlohmann::json& json, Breadcrumb& breadcrumb) {
    breadcrumb = breadcrumbFromJson(json);
}

} // namespace corvantesk
