#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillobrandt {

// The outcome of one child process. (`stdout`/`stderr` are macros of <cstdio>, hence the longer names.)
struct CommandResult {
    std::string standardOutput; // UTF-8; "" when the bytes are not valid UTF-8
    std::string standardError;  // UTF-8, "" when invalid; on a launch failure or timeout, why it failed
    std::int64_t exitCode = -1; // the exit status; -1 when the process could not start or was killed
    bool success = false;       // true exactly when the process exited with status 0

    bool operator==(const CommandResult&) const = default;
};

// The most a tool may print on its two streams together before it is stopped and reported as failed.
inline constexpr std::size_t kCommandOutputLimit = 1024 * 1024;

// Called with each chunk of standard output that is valid UTF-8, on the calling thread.
using CommandOutputHandler = std::function<void(const std::string& chunk)>;

// Runs `executable` with `arguments` (no shell, no PATH search) in a process group of its own, its standard
// input on /dev/null and both output streams captured through pipes. Blocks until the process ends; a process
// (group) still running after `timeout`, also one that closed its output and lingers or one whose child keeps
// the output open, is killed and reported as failed, and so is one printing more than kCommandOutputLimit.
// Setting `*stop` (from any thread) kills it the same way within a few tens of milliseconds. Whatever the tool
// leaves running in its group when it ends is killed too. Never throws.
CommandResult runCommand(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                         const CommandOutputHandler& outputHandler = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         const std::atomic<bool>* stop = nullptr);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(const std::string& bytes);

// Finds an external tool: first in `programFolder` (when given), then in each folder of $PATH.
// Only regular files the user may execute count. nullopt when none is found.
std::optional<std::filesystem::path> findTool(const std::string& name,
                                              const std::optional<std::filesystem::path>& programFolder);

// The folder holding the running program (from /proc/self/exe); nullopt when it cannot be read.
std::optional<std::filesystem::path> programFolder();

} // namespace quillobrandt
