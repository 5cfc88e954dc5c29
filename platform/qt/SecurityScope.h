#pragma once

#include <filesystem>

namespace platform {

// Access to a file or folder the user picked, opened and closed in pairs. Linux grants a process
// everything its user may read, so the desktop's scope opens every time and has nothing to close;
// callers still pair the calls so the pairing stays testable (see RecordingSecurityScope).
class SecurityScope {
public:
    virtual ~SecurityScope() = default;

    // True when access is now open.
    virtual bool startAccessing(const std::filesystem::path& path) = 0;
    virtual void stopAccessing(const std::filesystem::path& path) = 0;
};

class DesktopSecurityScope final : public SecurityScope {
public:
    bool startAccessing(const std::filesystem::path&) override { return true; }
    void stopAccessing(const std::filesystem::path&) override {}
};

} // namespace platform
