#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Corvantesk/health/LogLevel.h"
#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

struct JsonDateStyle;

// One log line kept by LogBuffer.
struct LogEntry {
    platform::AbsoluteTime timestamp;
    LogLevel level = LogLevel::info;
    std::string message;
    std::optional<std::string> tag;

    bool operator==(const LogEntry&) const = default;
};

} // namespace corvantesk
