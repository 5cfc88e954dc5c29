#pragma once

#include <functional>
#include <string>

namespace quillobrandt {

// A progress report of the backup reader: message, fraction 0 to 1, and the device path being extracted.
// Called synchronously on the extracting thread; a user interface must hop to its own thread itself.
using BackupProgress =
    std::function<void(const std::string& message, double fraction, const std::string& relativePath)>;

} // namespace quillobrandt
