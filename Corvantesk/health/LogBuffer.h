#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Corvantesk/health/LogEntry.h"

namespace corvantesk {

// The last few log lines the application handed the SDK, oldest first, at most maxSize of them.
// Every member is thread-safe; each holds the buffer's own lock for its whole run and takes no other.
// Readers get copies.
class LogBuffer {
public:
    explicit LogBuffer(std::int64_t maxSize);

    // Keeps the line unless its level is below the minimum level; drops the oldest when full.
    void log(LogLevel level, std::string message, std::optional<std::string> tag = std::nullopt);
    void debug(std::string message, std::optional<std::string> tag = std::nullopt);
    void info(std::string message, std::optional<std::string> tag = std::nullopt);
    void warning(std::string message, std::optional<std::string> tag = std::nullopt);
    void error(std::string message, std::optional<std::string> tag = std::nullopt);

    // Applies to later lines only.
    void setMinimumLevel(LogLevel level);

    std::vector<LogEntry> all() const;
    // The last n entries in stored order; empty for n <= 0.
    std::vector<LogEntry> recent(std::int64_t n) const;
    std::vector<LogEntry> entries(LogLevel level) const;
    // Entries whose tag equals `tag` exactly; untagged entries never match.
    std::vector<LogEntry> entries(const std::string& tag) const;
    std::size_t count() const;
    void clear();
    std::int64_t maxSize() const { return maxSize_; }

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> buffer_;
    const std::int64_t maxSize_;
    LogLevel minimumLevel_ = LogLevel::debug;
};

} // namespace corvantesk
