#include "Corvantesk/analytics/CollectionModes.h"

namespace corvantesk {

std::string_view dataCollectionModeName(DataCollectionMode mode) {
    return mode == DataCollectionMode::identified ? "identified" : "anonymous";
}

std::optional<DataCollectionMode> dataCollectionModeFromName(std::string_view name) {
    if (name == "anonymous") {
        return DataCollectionMode::anonymous;
    }
    if (name == "identified") {
        return DataCollectionMode::identified;
    }
    return std::nullopt;
}

std::string_view consentModeName(ConsentMode mode) {
    return mode == ConsentMode::standardWithPrivacyFallback ? "standardWithPrivacyFallback" : "none";
}

std::optional<ConsentMode> consentModeFromName(std::string_view name) {
    if (name == "none") {
        return ConsentMode::none;
    }
    if (name == "standardWithPrivacyFallback") {
        return ConsentMode::standardWithPrivacyFallback;
    }
    return std::nullopt;
}

} // namespace corvantesk
