#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/DeviceInfo.h"
#include "platform/core/AbsoluteTime.h"

// The JSON bodies posted to the telemetry service, and the outcome of a feedback submission. Plain values.
// Encoding writes members in declaration order, leaves absent optionals out (never null) and writes dates as
// ISO 8601 text in UTC, whole seconds, with "Z". The to_json overloads are for nlohmann::ordered_json so that
// the text keeps that order; encoding throws nlohmann::json::type_error only when dumped text is not UTF-8.
namespace corvantesk {

struct HealthEventPayload {
    std::string id;
    platform::AbsoluteTime timestamp;
    std::string level;
    std::string message;
    std::optional<AnyMap> metadata;
    std::optional<std::vector<std::string>> stackTrace;
    bool operator==(const HealthEventPayload&) const = default;
};

// Body of "/api/v1/health/events".
struct HealthBatchPayload {
    std::string batchId;
    std::string appIdentifier;
    std::string environment;
    DeviceInfo deviceInfo;
    std::optional<std::string> userId;
    std::vector<HealthEventPayload> events;
    platform::AbsoluteTime sentAt;
    bool isTest = false;
    bool operator==(const HealthBatchPayload&) const = default;
};

// Body of "/api/v1/health/heartbeat"; four keys are snake_case ("device_id", "app_version", "os_version").
struct HeartbeatPayload {
    std::optional<std::string> deviceId;
    std::string platform = "linux";
    std::optional<std::string> appVersion;
    std::optional<std::string> osVersion;
    platform::AbsoluteTime timestamp;
    std::optional<AnyMap> metadata;
    bool isTest = false;
    std::string appIdentifier;
    bool operator==(const HeartbeatPayload&) const = default;
};

// The "deviceInfo" member of an analytics batch.
struct AnalyticsDeviceInfo {
    std::optional<std::string> deviceId;
    std::optional<std::string> deviceModel;
    std::string platform = "linux";
    std::optional<std::string> osVersion;
    std::optional<std::string> appVersion;
    std::optional<std::string> screenResolution;
    std::optional<std::string> language;

    // Puts the current locale's identifier ("en_US") in `language` when none is given.
    static AnalyticsDeviceInfo make(std::optional<std::string> deviceId, std::optional<std::string> deviceModel,
                                    std::string platform, std::optional<std::string> osVersion,
                                    std::optional<std::string> appVersion, std::optional<std::string> screenResolution,
                                    std::optional<std::string> language = std::nullopt);
    bool operator==(const AnalyticsDeviceInfo&) const = default;
};

struct AnalyticsEventPayload {
    std::string id;
    platform::AbsoluteTime timestamp;
    std::string eventType;
    std::string sessionId;
    std::optional<std::string> category;
    std::optional<std::string> screen;
    std::optional<std::string> element;
    std::optional<AnyMap> properties;
    std::optional<std::int64_t> duration; // milliseconds
    std::optional<std::string> referrer;
    bool operator==(const AnalyticsEventPayload&) const = default;
};

// Body of "/api/v1/analytics/events".
struct AnalyticsBatchPayload {
    std::string batchId;
    std::string appIdentifier;
    AnalyticsDeviceInfo deviceInfo;
    std::optional<std::string> userId;
    std::optional<std::string> anonymousUserId;
    bool isTest = false;
    std::optional<std::string> environment;
    platform::AbsoluteTime sentAt;
    std::vector<AnalyticsEventPayload> events;
    bool operator==(const AnalyticsBatchPayload&) const = default;
};

struct FeedbackDeviceInfo {
    std::optional<std::string> platform;
    std::optional<std::string> osVersion;
    std::optional<std::string> appVersion;
    bool operator==(const FeedbackDeviceInfo&) const = default;
};

// Body of "/api/v1/feedback".
struct FeedbackPayload {
    std::string appIdentifier;
    std::string message;
    std::string category;
    std::optional<std::int64_t> rating;
    std::optional<std::string> email;
    std::optional<std::string> userId;
    std::optional<std::string> deviceId;
    std::optional<std::string> sessionId;
    std::optional<std::string> screen;
    std::optional<FeedbackDeviceInfo> deviceInfo;
    std::optional<AnyMap> metadata;
    bool isTest = false;
    bool operator==(const FeedbackPayload&) const = default;
};

// The outcome of one feedback submission; `error` is a text fit to show the user.
struct FeedbackResult {
    bool success = false;
    std::optional<std::int64_t> feedbackId;
    std::optional<std::string> error;

    static FeedbackResult succeeded(std::optional<std::int64_t> id) { return {true, id, std::nullopt}; }
    static FeedbackResult failed(std::string error) { return {false, std::nullopt, std::move(error)}; }
    bool operator==(const FeedbackResult&) const = default;
};

// The current locale's identifier from LC_ALL, LC_MESSAGES or LANG ("de_DE.UTF-8" gives "de_DE"); "en_US_POSIX"
// for the C locale.
std::string currentLocaleIdentifier();

// Wire form of a date: "2024-05-01T12:00:00Z".
std::string wireDate(platform::AbsoluteTime date);

void to_json(nlohmann::ordered_json& json, const HealthEventPayload& payload);
void to_json(nlohmann::ordered_json& json, const HealthBatchPayload& payload);
void to_json(nlohmann::ordered_json& json, const HeartbeatPayload& payload);
void to_json(nlohmann::ordered_json& json, const AnalyticsDeviceInfo& payload);
void to_json(nlohmann::ordered_json& json, const AnalyticsEventPayload& payload);
void to_json(nlohmann::ordered_json& json, const AnalyticsBatchPayload& payload);
void to_json(nlohmann::ordered_json& json, const FeedbackDeviceInfo& payload);
void to_json(nlohmann::ordered_json& json, const FeedbackPayload& payload);

} // namespace corvantesk
