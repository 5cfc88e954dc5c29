#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/qt/SecurityScope.h"

namespace platform {

// Test double: records every start and stop, refuses the paths in `refusedPaths`, and counts how
// many scopes are open per path, so a test can check that starts and stops pair up. Thread-safe.
class RecordingSecurityScope final : public SecurityScope {
public:
    struct Event {
        enum class Kind { start, stop } kind;
        std::filesystem::path path;
        bool succeeded; // for starts
    };

    bool startAccessing(const std::filesystem::path& path) override;
    void stopAccessing(const std::filesystem::path& path) override;

    void refuse(const std::filesystem::path& path);
    std::vector<Event> events() const;
    // Successful starts minus stops for `path`.
    int openCount(const std::filesystem::path& path) const;
    // True when no path has more starts than stops (or the reverse).
    bool allClosed() const;

private:
    mutable std::mutex mutex_;
    std::set<std::filesystem::path> refused_;
    std::vector<Event> events_;
};

} // namespace platform
