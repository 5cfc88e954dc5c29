#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// The SDK's configuration records. Plain values: the client copies them into every sub-client, so a later
// change to the caller's copy has no effect on a running SDK. They store what they are given without checks;
// the parts that use a value clamp it there (see OptionLimits.h).
namespace corvantesk {

// The service address used when the caller gives none.
inline constexpr const char* kDefaultBaseUrl = "https://api.corvantesk.io";

enum class DataCollectionMode { anonymous, identified };
enum class ConsentMode { none, standardWithPrivacyFallback };

// Raw texts of the two modes ("anonymous", "identified", "none", "standardWithPrivacyFallback").
std::string rawValue(DataCollectionMode mode);
std::string rawValue(ConsentMode mode);
std::optional<DataCollectionMode> dataCollectionModeFromRaw(const std::string& raw);
std::optional<ConsentMode> consentModeFromRaw(const std::string& raw);

struct HealthOptions {
    bool enabled = true;
    bool enableHeartbeat = true;
    double heartbeatInterval = 300.0; // seconds
    bool captureUnhandledExceptions = true;
    bool includeStackTrace = true;
    std::int64_t maxStackTraceLength = 10000;
    std::int64_t maxBreadcrumbs = 100;
    std::int64_t maxLogEntries = 50;
    bool captureDeviceState = true;

    bool operator==(const HealthOptions&) const = default;
};

struct AnalyticsOptions {
    bool enabled = true;
    DataCollectionMode collectionMode = DataCollectionMode::anonymous;
    ConsentMode consentMode = ConsentMode::none;
    bool phiSafeMode = false;
    double sessionTimeout = 1800.0; // seconds
    bool enableAutoTracking = true;
    bool autoTrackButtonClicks = true;
    bool autoTrackScreenViews = true;
    bool autoTrackMenuClicks = true;
    bool autoTrackingDebugLogging = false;

    bool operator==(const AnalyticsOptions&) const = default;
};

struct CorvanteskOptions {
    std::string appId;
    std::string apiKey;
    std::string baseUrl = kDefaultBaseUrl; // kept as given; the transport drops one trailing "/"
    bool debug = false;
    bool isTest = false;
    std::optional<std::string> appVersion;
    std::optional<std::string> deviceId;
    std::string environment = "production";
    HealthOptions health;
    AnalyticsOptions analytics;
    std::int64_t batchSize = 20;
    double flushInterval = 30.0; // seconds
    std::int64_t maxOfflineQueueSize = 500;

    // Options with every field but the credentials at its default.
    static CorvanteskOptions make(std::string appId, std::string apiKey) {
        CorvanteskOptions options;
        options.appId = std::move(appId);
        options.apiKey = std::move(apiKey);
        return options;
    }

    bool operator==(const CorvanteskOptions&) const = default;
};

} // namespace corvantesk
