#include "Corvantesk/health/LogBuffer.h"

#include <algorithm>

#include "Corvantesk/health/RecordedText.h"

namespace corvantesk {

LogBuffer::LogBuffer(std::int64_t maxSize) : maxSize_(maxSize) {}

void LogBuffer::log(LogLevel level, std::string message, std::optional<std::string> tag) {
    auto now = platform::AbsoluteTime::now();
    std::lock_guard lock(mutex_);
    if (minimumLevel_ > level) {
        return;
    }
    const auto countBefore = static_cast<std::int64_t>(buffer_.size());
    buffer_.push_back(LogEntry{now, level, limitRecordedText(std::move(message)), std::move(tag)});
    if (countBefore >= maxSize_) {
        buffer_.erase(buffer_.begin());
    }
}

void LogBuffer::debug(std::string message, std::optional<std::string> tag) {
    log(LogLevel::debug, std::move(message), std::move(tag));
}
void LogBuffer::info(std::string message, std::optional<std::string> tag) {
    log(LogLevel::info, std::move(message), std::move(tag));
}
void LogBuffer::warning(std::string message, std::optional<std::string> tag) {
    log(LogLevel::warning, std::move(message), std::move(tag));
}
void LogBuffer::error(std::string message, std::optional<std::string> tag) {
    log(LogLevel::error, std::move(message), std::move(tag));
}

void LogBuffer::setMinimumLevel(LogLevel level) {
    std::lock_guard lock(mutex_);
    minimumLevel_ = level;
}

std::vector<LogEntry> LogBuffer::all() const {
    std::lock_guard lock(mutex_);
    return buffer_;
}

std::vector<LogEntry> LogBuffer::recent(std::int64_t n) const {
    std::lock_guard lock(mutex_);
    if (n <= 0) {
        return {};
    }
    const auto take = std::min<std::size_t>(static_cast<std::size_t>(n), buffer_.size());
    return {buffer_.end() - static_cast<std::ptrdiff_t>(take), buffer_.end()};
}

std::vector<LogEntry> LogBuffer::entries(LogLevel level) const {
    std::lock_guard lock(mutex_);
    std::vector<LogEntry> result;
    std::copy_if(buffer_.begin(), buffer_.end(), std::back_inserter(result),
                 [level](const LogEntry& entry) { return entry.level == level; });
    return result;
}

std::vector<LogEntry> LogBuffer::entries(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    std::vector<LogEntry> result;
    std::copy_if(buffer_.begin(), buffer_.end(), std::back_inserter(result),
                 [&tag](const LogEntry& entry) { return entry.tag && *entry.tag == tag; });
    return result;
}

std::size_t LogBuffer::count() const {
    std::lock_guard lock(mutex_);
    return buffer_.size();
}

void LogBuffer::clear() {
    std::lock_guard lock(mutex_);
    buffer_.clear();
}

} // namespace corvantesk
