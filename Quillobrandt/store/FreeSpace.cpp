#include "Quillobrandt/store/FreeSpace.h"

#include <cerrno>

#include "platform/core/VolumeSpace.h"

namespace quillobrandt {
namespace {

// Rounded up, without wrapping round for sizes near the largest number.
std::string megabytes(std::uintmax_t bytes) {
    constexpr std::uintmax_t kMegabyte = std::uintmax_t{1} << 20;
    return std::to_string(bytes / kMegabyte + (bytes % kMegabyte != 0 ? 1 : 0)) + " MB";
}

} // namespace

std::uintmax_t freeSpace(const std::filesystem::path& folder) {
    const auto space = platform::volumeSpace(folder);
    return space ? space->available : 0;
}

std::string notEnoughSpaceText(const std::filesystem::path& folder, std::uintmax_t needed, const std::string& purpose) {
    return "There is not enough free space in \"" + folder.string() + "\" " + purpose + ": it needs " +
           megabytes(needed) + ", " + megabytes(freeSpace(folder)) + " are free.";
}

bool isOutOfSpace(int errorNumber) {
    return errorNumber == ENOSPC || errorNumber == EDQUOT;
}

} // namespace quillobrandt
