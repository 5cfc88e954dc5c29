#include "Quillobrandt/store/FreeSpace.h"

#include <sys/statvfs.h>

#include <cerrno>

namespace quillobrandt {
namespace {

// Rounded up, without wrapping round for sizes near the largest number.
std::string megabytes(std::uintmax_t bytes) {
    constexpr std::uintmax_t kMegabyte = std::uintmax_t{1} << 20;
    return std::to_string(bytes / kMegabyte + (bytes % kMegabyte != 0 ? 1 : 0)) + " MB";
}

} // namespace

std::uintmax_t freeSpace(const std::filesystem::path& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0) {
        return 0;
    }
    return static_cast<std::uintmax_t>(fs.f_bavail) * fs.f_frsize;
}

std::string notEnoughSpaceText(const std::filesystem::path& folder, std::uintmax_t needed, const std::string& purpose) {
    return "There is not enough free space in \"" + folder.string() + "\" " + purpose + ": it needs " +
           megabytes(needed) + ", " + megabytes(freeSpace(folder)) + " are free.";
}

bool isOutOfSpace(int errorNumber) {
    return errorNumber == ENOSPC || errorNumber == EDQUOT;
}

} // namespace quillobrandt
