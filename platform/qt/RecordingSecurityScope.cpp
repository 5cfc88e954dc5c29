#include "platform/qt/RecordingSecurityScope.h"

#include <map>

namespace platform {

bool RecordingSecurityScope::startAccessing(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    const bool succeeded = refused_.count(path) == 0;
    events_.push_back({Event::Kind::start, path, succeeded});
    return succeeded;
}

void RecordingSecurityScope::stopAccessing(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    events_.push_back({Event::Kind::stop, path, true});
}

void RecordingSecurityScope::refuse(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    refused_.insert(path);
}

std::vector<RecordingSecurityScope::Event> RecordingSecurityScope::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

int RecordingSecurityScope::openCount(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const Event& event : events_) {
        if (event.path != path) {
            continue;
        }
        if (event.kind == Event::Kind::start && event.succeeded) {
            ++count;
        } else if (event.kind == Event::Kind::stop) {
            --count;
        }
    }
    return count;
}

bool RecordingSecurityScope::allClosed() const {
    std::lock_guard lock(mutex_);
    std::map<std::filesystem::path, int> counts;
    for (const Event& event : events_) {
        if (event.kind == Event::Kind::start && event.succeeded) {
            ++counts[event.path];
        } else if (event.kind == Event::Kind::stop) {
            --counts[event.path];
        }
    }
    for (const auto& [path, count] : counts) {
        if (count != 0) {
            return false;
        }
    }
    return true;
}

} // namespace platform
