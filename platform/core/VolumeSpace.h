#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace platform {

// The file system holding a path: its whole size, and the bytes an unprivileged writer may still write there.
struct VolumeSpace {
    std::uint64_t total = 0;
    std::uint64_t available = 0;
};

// Asks the file system holding `path`; nullopt when it cannot be told (no such path, no permission).
std::optional<VolumeSpace> volumeSpace(const std::filesystem::path& path);

} // namespace platform
