#pragma once

#include <string_view>

namespace platform {

// Writes one line to standard output, whole and flushed at once; safe from any thread.
// This is the program's console channel; the log file is separate (Logger).
void consoleLine(std::string_view line);

} // namespace platform
