#pragma once

#include <string>

namespace quillobrandt {

// The message store's two ways of logging: info lines go to the log file only; error lines go to the
// log file and to the console with a leading "❌ ", so a failure is visible in a terminal too.
void storeLogInfo(const std::string& line);
// An info line naming the database a load reads, which the log keeps at the head of each later file.
void storeLogDatabaseFile(const std::string& line);
void storeLogError(const std::string& line);
// A console diagnostic that never reaches the log file.
void storeConsole(const std::string& line);

} // namespace quillobrandt
