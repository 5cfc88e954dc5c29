#pragma once

#include <optional>
#include <string_view>

namespace corvantesk {

// How identifying analytics batches may be: anonymous batches carry no device id and a fresh
// anonymous user id; identified ones carry the device id.
enum class DataCollectionMode { anonymous, identified };

// Whether the user's stored consent decides the mode: with standardWithPrivacyFallback, batches are
// identified only while the consent is true.
enum class ConsentMode { none, standardWithPrivacyFallback };

std::string_view dataCollectionModeName(DataCollectionMode mode);
std::optional<DataCollectionMode> dataCollectionModeFromName(std::string_view name);
std::string_view consentModeName(ConsentMode mode);
std::optional<ConsentMode> consentModeFromName(std::string_view name);

} // namespace corvantesk
