#pragma once

// Timed actions and feature flags for the application, reported through the SDK's shared client (whatever
// client is current when the report is made; nothing without one). Callable from any thread.

#include <optional>
#include <string>

#include "Corvantesk/analytics/TimedActionTracker.h"

namespace corvantesk {

// A tracker measuring from now; its complete() reports a timed event to the shared client.
TimedActionTracker startTimedAction(std::string eventType, std::optional<std::string> category = std::nullopt);
// One "feature_flag_evaluated" event on the shared client.
void trackFeatureFlag(const std::string& flagName, bool value, const std::optional<std::string>& source = std::nullopt);

} // namespace corvantesk
