#include "Corvantesk/core/WirePayloads.h"

#include <cstdlib>

#include "Corvantesk/core/JsonOptional.h"

namespace corvantesk {
namespace {

using Json = nlohmann::ordered_json;

void putOptional(Json& json, const char* key, const std::optional<AnyMap>& value) {
    if (value) {
        json[key] = toOrderedJson(*value);
    }
}

} // namespace

std::string wireDate(platform::AbsoluteTime date) {
    return platform::formatIso8601(date);
}

std::string currentLocaleIdentifier() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string text(value);
        text = text.substr(0, text.find_first_of(".@"));
        if (text == "C" || text == "POSIX" || text.empty()) {
            return "en_US_POSIX";
        }
        return text;
    }
    return "en_US_POSIX";
}

AnalyticsDeviceInfo AnalyticsDeviceInfo::make(std::optional<std::string> deviceId,
                                              std::optional<std::string> deviceModel, std::string platform,
                                              std::optional<std::string> osVersion,
                                              std::optional<std::string> appVersion,
                                              std::optional<std::string> screenResolution,
                                              std::optional<std::string> language) {
    return AnalyticsDeviceInfo{std::move(deviceId),
                               std::move(deviceModel),
                               std::move(platform),
                               std::move(osVersion),
                               std::move(appVersion),
                               std::move(screenResolution),
                               language ? std::move(language) : std::optional<std::string>(currentLocaleIdentifier())};
}

void to_json(Json& json, const HealthEventPayload& p) {
    json = Json::object();
    json["id"] = p.id;
    json["timestamp"] = wireDate(p.timestamp);
    json["level"] = p.level;
    json["message"] = p.message;
    putOptional(json, "metadata", p.metadata);
    putOptional(json, "stackTrace", p.stackTrace);
}

void to_json(Json& json, const HealthBatchPayload& p) {
    json = Json::object();
    json["batchId"] = p.batchId;
    json["appIdentifier"] = p.appIdentifier;
    json["environment"] = p.environment;
    json["deviceInfo"] = p.deviceInfo;
    putOptional(json, "userId", p.userId);
    json["events"] = p.events;
    json["sentAt"] = wireDate(p.sentAt);
    json["isTest"] = p.isTest;
}

void to_json(Json& json, const HeartbeatPayload& p) {
    json = Json::object();
    putOptional(json, "device_id", p.deviceId);
    json["platform"] = p.platform;
    putOptional(json, "app_version", p.appVersion);
    putOptional(json, "os_version", p.osVersion);
    json["timestamp"] = wireDate(p.timestamp);
    putOptional(json, "metadata", p.metadata);
    json["isTest"] = p.isTest;
    json["appIdentifier"] = p.appIdentifier;
}

void to_json(Json& json, const AnalyticsDeviceInfo& p) {
    json = Json::object();
    putOptional(json, "deviceId", p.deviceId);
    putOptional(json, "deviceModel", p.deviceModel);
    json["platform"] = p.platform;
    putOptional(json, "osVersion", p.osVersion);
    putOptional(json, "appVersion", p.appVersion);
    putOptional(json, "screenResolution", p.screenResolution);
    putOptional(json, "language", p.language);
}

void to_json(Json& json, const AnalyticsEventPayload& p) {
    json = Json::object();
    json["id"] = p.id;
    json["timestamp"] = wireDate(p.timestamp);
    json["eventType"] = p.eventType;
    json["sessionId"] = p.sessionId;
    putOptional(json, "category", p.category);
    putOptional(json, "screen", p.screen);
    putOptional(json, "element", p.element);
    putOptional(json, "properties", p.properties);
    putOptional(json, "duration", p.duration);
    putOptional(json, "referrer", p.referrer);
}

void to_json(Json& json, const AnalyticsBatchPayload& p) {
    json = Json::object();
    json["batchId"] = p.batchId;
    json["appIdentifier"] = p.appIdentifier;
    json["deviceInfo"] = p.deviceInfo;
    putOptional(json, "userId", p.userId);
    putOptional(json, "anonymousUserId", p.anonymousUserId);
    json["isTest"] = p.isTest;
    putOptional(json, "environment", p.environment);
    json["sentAt"] = wireDate(p.sentAt);
    json["events"] = p.events;
}

void to_json(Json& json, const FeedbackDeviceInfo& p) {
    json = Json::object();
    putOptional(json, "platform", p.platform);
    putOptional(json, "osVersion", p.osVersion);
    putOptional(json, "appVersion", p.appVersion);
}

void to_json(Json& json, const FeedbackPayload& p) {
    json = Json::object();
    json["appIdentifier"] = p.appIdentifier;
    json["message"] = p.message;
    json["category"] = p.category;
    putOptional(json, "rating", p.rating);
    putOptional(json, "email", p.email);
    putOptional(json, "userId", p.userId);
    putOptional(json, "deviceId", p.deviceId);
    putOptional(json, "sessionId", p.sessionId);
    putOptional(json, "screen", p.screen);
    putOptional(json, "deviceInfo", p.deviceInfo);
    putOptional(json, "metadata", p.metadata);
    json["isTest"] = p.isTest;
}

} // namespace corvantesk
