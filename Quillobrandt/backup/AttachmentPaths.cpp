#include "Quillobrandt/backup/AttachmentPaths.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <system_error>

#include <sys/stat.h>

#include "platform/core/Paths.h"

namespace quillobrandt {

namespace fs = std::filesystem;

bool isImageFileName(const std::string& name) {
    static constexpr std::array<std::string_view, 12> kImageExtensions = {"jpg", "jpeg", "png", "gif",  "heic", "heif",
                                                                          "bmp", "tiff", "tif", "webp", "ico",  "svg"};
    const auto slash = name.find_last_of('/');
    const std::string_view component =
        slash == std::string::npos ? std::string_view(name) : std::string_view(name).substr(slash + 1);
    const auto dot = component.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) {
        return false;
    }
    std::string extension(component.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return std::find(kImageExtensions.begin(), kImageExtensions.end(), extension) != kImageExtensions.end();
}

std::optional<fs::path> attachmentDestination(const fs::path& folder, const std::string& relativePath) {
    // The shared rule for every stored name, then what a file about to be written needs beyond it: a relative
    // path of plain names, so that no "." or empty component can make two names one file.
    if (!platform::isConfinedFileName(relativePath) || relativePath.front() == '/') {
        return std::nullopt;
    }
    std::size_t start = 0;
    for (;;) {
        const auto end = relativePath.find('/', start);
        const std::string_view component =
            std::string_view(relativePath).substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (component.empty() || component == ".") {
            return std::nullopt;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    const fs::path joined = fs::path(folder.string() + "/" + relativePath);
    const fs::path cleaned = platform::cleanAbsolute(joined);
    if (cleaned == platform::cleanAbsolute(folder) || !platform::isInside(cleaned, folder)) {
        return std::nullopt;
    }
    return cleaned;
}

void createFoldersBelow(const fs::path& folder, const fs::path& target) {
    const fs::path base = platform::cleanAbsolute(folder);
    const fs::path goal = platform::cleanAbsolute(target);
    if (!platform::isInside(goal, base)) {
        throw fs::filesystem_error("create folder", target, std::make_error_code(std::errc::invalid_argument));
    }
    if (!fs::exists(base) && !platform::createPrivateDirectory(base)) {
        throw fs::filesystem_error("create folder", base, std::make_error_code(std::errc::permission_denied));
    }
    fs::path current = base;
    const auto relative = goal.lexically_relative(base);
    for (const auto& component : relative) {
        if (component == ".") {
            continue;
        }
        current /= component;
        if (::mkdir(current.c_str(), 0700) == 0) {
            continue;
        }
        const int error = errno;
        struct stat info {};
        if (error != EEXIST || ::lstat(current.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            throw fs::filesystem_error("create folder", current,
                                       std::error_code(error == EEXIST ? ENOTDIR : error, std::generic_category()));
        }
    }
}

fs::path databaseCompanion(const fs::path& database, const char* extension) {
    fs::path companion = database;
    companion.replace_extension(extension);
    return companion;
}

void removeDatabaseFiles(const fs::path& database) {
    std::error_code ignored;
    fs::remove(database, ignored);
    fs::remove(databaseCompanion(database, "db-shm"), ignored);
    fs::remove(databaseCompanion(database, "db-wal"), ignored);
}

} // namespace quillobrandt
