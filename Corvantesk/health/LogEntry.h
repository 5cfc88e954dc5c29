#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Corvantesk/health/Breadcrumb.h"
#include "Corvantesk/health/LogLevel.h"
#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// One log line kept by LogBuffer.
struct LogEntry {
    platform::AbsoluteTime timestamp;
    LogLevel level = LogLevel::info;
    std::string message;
    std::optional<std::string> tag;

    bool operator==(const LogEntry&) const = default;
};

// Keys "timestamp", "level" (its name), "message", then "tag" when present.
nlohmann::json toJson(const LogEntry& entry, JsonDates dates);

// The offline-file form (dates as seconds since 2001). from_json throws on a missing key or an unknown level.
void to_json(nlohmann::json& json, const LogEntry& entry);
void from_json(const nlohmann::json& json, LogEntry& entry);

} // namespace corvantesk
