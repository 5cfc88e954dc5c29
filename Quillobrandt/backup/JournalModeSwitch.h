#pragma once

#include <filesystem>
#include <string>

namespace quillobrandt {

// What switching a database copy to the DELETE journal mode printed and returned, in the form of a
// command-line tool's run: the text (the new mode, or SQLite's message) and an exit status (0 = success).
struct JournalSwitchOutcome {
    std::string output;
    int exitCode = 0;
};

// Runs "PRAGMA journal_mode=DELETE;" on `database` in this process (Debian has no sqlite3 shell by default).
// Only for our own copies: it opens the file read-write. Never throws.
JournalSwitchOutcome switchToDeleteJournalMode(const std::filesystem::path& database);

} // namespace quillobrandt
