#include "Corvantesk/health/LogLevel.h"

namespace corvantesk {

std::string_view logLevelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::warning:
        return "warning";
    case LogLevel::error:
        return "error";
    }
    return "debug";
}

std::optional<LogLevel> logLevelFromName(std::string_view name) {
    for (LogLevel level : {LogLevel::debug, LogLevel::info, LogLevel::warning, LogLevel::error}) {
        if (logLevelName(level) == name) {
            return level;
        }
    }
    return std::nullopt;
}

} // namespace corvantesk
