#pragma once

#include <optional>
#include <string>

namespace platform {

// The application's information keys ("CFBundleShortVersionString", "CFBundleVersion", "CorvanteskAppId",
// "CorvanteskApiKey", "GAMeasurementId", "GAApiSecret"), fixed at build time. A key that is unknown
// gives nullopt; a known key may hold an empty text (telemetry keys are empty in a default build).
std::optional<std::string> bundleInfoValue(const std::string& key);

// Values of the deployment that are not information keys.
std::string bundleTelemetryBaseUrl();
std::string bundleSupportEmail();
std::string bundleWebsite();

} // namespace platform
