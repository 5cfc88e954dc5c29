#pragma once

#include <string_view>

namespace platform {

// Writes one line to standard output, whole and flushed at once; safe from any thread.
// This is the program's console channel; the log file is separate (Logger).
void consoleLine(std::string_view line);
// Writes lines that already end in newlines with one write, flushed; nothing for empty text. Safe from any thread.
void consoleText(std::string_view lines);
// Whether standard output is a terminal (asked anew on each call: one system call). Lines that quote message text
// are written only then: elsewhere, such as a desktop session's journal, they would keep the user's messages.
bool consoleIsTerminal();

} // namespace platform
