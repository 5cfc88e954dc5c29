#pragma once

#include <string_view>

namespace platform {

// Writes one line to standard output, whole and flushed at once; safe from any thread.
// This is the program's console channel; the log file is separate (Logger).
void consoleLine(std::string_view line);
// Writes lines that already end in newlines with one write, flushed; nothing for empty text. Safe from any thread.
void consoleText(std::string_view lines);
// Whether the environment variable QB_VERBOSE is set (to anything but "" or "0"; asked anew on each call). Lines that
// quote the user's messages (their texts, their attachments' paths) are written only then: a desktop session keeps a
// program's standard output in the user's journal, and a terminal's scrollback is no private place either.
bool consoleIsVerbose();

} // namespace platform
