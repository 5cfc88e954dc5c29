#include "Quillobrandt/store/StoreLog.h"

#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"

namespace quillobrandt {

void storeLogInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

void storeLogDatabaseFile(const std::string& line) {
    Logger::shared().logCurrentFile(line);
}

void storeLogError(const std::string& line) {
    Logger::shared().log(line, Logger::Level::error);
    platform::consoleLine("❌ " + line);
}

void storeConsole(const std::string& line) {
    platform::consoleLine(line);
}

} // namespace quillobrandt
