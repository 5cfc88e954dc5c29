#include "platform/core/BundleInfo.h"

#include "platform/core/BundleInfoValues.h"

namespace platform {

std::optional<std::string> bundleInfoValue(const std::string& key) {
    if (key == "CFBundleShortVersionString") {
        return QB_BUNDLE_VERSION;
    }
    if (key == "CFBundleVersion") {
        return QB_BUNDLE_BUILD;
    }
    if (key == "CorvanteskAppId") {
        return QB_BUNDLE_CORVANTESK_APP_ID;
    }
    if (key == "CorvanteskApiKey") {
        return QB_BUNDLE_CORVANTESK_API_KEY;
    }
    if (key == "GAMeasurementId") {
        return QB_BUNDLE_GA_MEASUREMENT_ID;
    }
    if (key == "GAApiSecret") {
        return QB_BUNDLE_GA_API_SECRET;
    }
    return std::nullopt;
}

std::string bundleTelemetryBaseUrl() { return QB_BUNDLE_CORVANTESK_BASE_URL; }
std::string bundleSupportEmail() { return QB_BUNDLE_SUPPORT_EMAIL; }
std::string bundleWebsite() { return QB_BUNDLE_WEBSITE; }

} // namespace platform
