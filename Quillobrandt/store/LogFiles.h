#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/core/FileDescriptor.h"

namespace quillobrandt {

// The two log files on disk: the current one, which lines are appended to, and the previous one, which the current
// one becomes once it has reached `maxSize`. Each new current file begins with the rotation line, then the start
// banner and the line naming the file being read, as last written: a long session or a large load would otherwise
// roll both out of the two small files, and support could tell neither what ran nor what it read.
//
// Not thread-safe: the logger uses it from its writer thread alone.
class LogFiles {
public:
    // What else a line is, besides a line of the log.
    enum class Carry {
        none,
        banner,      // the whole start banner (several lines in one); carried into every later file
        currentFile, // names the file being read; carried into every later file until the next one replaces it
    };

    LogFiles(std::filesystem::path folder, std::int64_t maxSize, std::string currentName, std::string previousName);

    std::filesystem::path currentPath() const { return folder_ / currentName_; }
    std::filesystem::path previousPath() const { return folder_ / previousName_; }

    // Appends `line` (one or more whole lines, each ending in a line feed), rotating first when the current file
    // has reached the limit. A line that cannot be written is dropped; so is every line while a full log cannot be
    // moved aside, so that it never grows without end.
    void append(const std::string& line, Carry carry);
    void rotateIfNeeded();
    // Both files as one text (see Logger::getAllLogs).
    std::string readAll() const;

private:
    // False when the log is full and could not be moved aside.
    bool rotate();
    void write(const std::string& line);
    // Whether file_ now holds the current log, opened anew when the path no longer leads to the file it held.
    bool holdCurrentFile();

    std::filesystem::path folder_;
    std::int64_t maxSize_;
    std::string currentName_;
    std::string previousName_;
    std::string banner_;
    std::string currentFile_;
    // The current log, kept open from line to line: opened anew for each one, a burst of lines waited on a busy
    // disk once per line, and whoever read the logs next waited for all of it.
    platform::FileDescriptor file_;
};

// The line format of the log: "[<UTC time>] [<LEVEL>] <message>\n", the message cut to `maxLength` bytes (on a
// character boundary) with a note of how much was left out.
std::string formatLogLine(const std::string& message, const char* levelText, std::size_t maxLength);

} // namespace quillobrandt
