#include "Corvantesk/core/CorvanteskOptions.h"

namespace corvantesk {

std::string rawValue(DataCollectionMode mode) {
    return mode == DataCollectionMode::identified ? "identified" : "anonymous";
}

std::string rawValue(ConsentMode mode) {
    return mode == ConsentMode::standardWithPrivacyFallback ? "standardWithPrivacyFallback" : "none";
}

std::optional<DataCollectionMode> dataCollectionModeFromRaw(const std::string& raw) {
    if (raw == "anonymous") {
        return DataCollectionMode::anonymous;
    }
    if (raw == "identified") {
        return DataCollectionMode::identified;
    }
    return std::nullopt;
}

std::optional<ConsentMode> consentModeFromRaw(const std::string& raw) {
    if (raw == "none") {
        return ConsentMode::none;
    }
    if (raw == "standardWithPrivacyFallback") {
        return ConsentMode::standardWithPrivacyFallback;
    }
    return std::nullopt;
}

} // namespace corvantesk
