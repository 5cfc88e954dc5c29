#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvantesk {

// Severity of a log line kept for health reports, lowest first. Compares by severity.
enum class LogLevel { debug = 0, info = 1, warning = 2, error = 3 };

// "debug", "info", "warning", "error".
std::string_view logLevelName(LogLevel level);
// Exactly the four names above (case-sensitive); nullopt for anything else.
std::optional<LogLevel> logLevelFromName(std::string_view name);

} // namespace corvantesk
