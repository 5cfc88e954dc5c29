#include "platform/core/VolumeSpace.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace platform {

std::optional<VolumeSpace> volumeSpace(const std::filesystem::path& path) {
    struct statvfs stats {};
    if (::statvfs(path.c_str(), &stats) != 0) {
        return std::nullopt;
    }
    // Counts are in fragments; a file system that leaves the fragment size unset counts in blocks.
    const std::uint64_t unit = stats.f_frsize != 0 ? stats.f_frsize : stats.f_bsize;
    VolumeSpace space;
    space.total = static_cast<std::uint64_t>(stats.f_blocks) * unit;
    space.available = std::min<std::uint64_t>(static_cast<std::uint64_t>(stats.f_bavail) * unit, space.total);
    return space;
}

} // namespace platform
