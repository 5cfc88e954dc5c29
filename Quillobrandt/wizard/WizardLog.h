#pragma once

#include <string>

#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"

namespace quillobrandt::wizard {

// The wizard's lines go to the log; its errors to standard output too, marked as such.
inline void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

inline void logError(const std::string& line) {
    Logger::shared().log(line, Logger::Level::error);
    platform::consoleLine(line.rfind("❌", 0) == 0 ? line : "❌ " + line);
}

} // namespace quillobrandt::wizard
