#include "Quillobrandt/store/DatabaseLocation.h"

#include <cctype>
#include <cerrno>
#include <string>

#include <sys/stat.h>

#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

fs::path resolvedFolder(const fs::path& folder) {
    std::error_code error;
    auto resolved = fs::canonical(folder, error);
    return error ? platform::cleanAbsolute(folder) : resolved;
}

// Strictly below `folder`: the folder itself is no database.
bool isBelow(const fs::path& path, const fs::path& folder) {
    return path != folder && platform::isInside(path, folder);
}

} // namespace

bool isUuidText(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
            return false;
        }
    }
    return true;
}

fs::path resolveDatabaseFolder(const fs::path& file) {
    const auto absolute = platform::cleanAbsolute(file);
    if (!absolute.has_filename()) {
        return absolute;
    }
    return resolvedFolder(absolute.parent_path()) / absolute.filename();
}

fs::path resolveDatabaseFile(const fs::path& file) {
    std::error_code error;
    const auto status = fs::symlink_status(file, error);
    if (!error && fs::is_symlink(status)) {
        auto target = fs::canonical(file, error);
        if (!error) {
            return target;
        }
    }
    return resolveDatabaseFolder(file);
}

bool isWorkingCopyLocation(const fs::path& resolvedFile) {
    const auto file = platform::cleanAbsolute(resolvedFile);
    // The private folder only: anything else under the shared temporary folder may be the user's own file
    // (a download, an unpacked archive).
    if (const auto privateFolder = platform::privateTempDir();
        !privateFolder.empty() && isBelow(file, resolvedFolder(privateFolder))) {
        return true;
    }
    return extractionFolderContaining(file).has_value();
}

std::optional<fs::path> extractionFolderContaining(const fs::path& file) {
    const auto resolved = resolveDatabaseFolder(file);
    const auto caches = resolvedFolder(platform::cachesDir());
    if (!isBelow(resolved, caches)) {
        return std::nullopt;
    }
    const auto relative = resolved.lexically_relative(caches);
    if (relative.empty() || std::distance(relative.begin(), relative.end()) < 2) {
        return std::nullopt; // the file must lie inside an extraction folder, not beside one
    }
    const std::string first = relative.begin()->string();
    const std::string prefix = "Quillobrandt_";
    if (first.rfind(prefix, 0) != 0 || !isUuidText(first.substr(prefix.size()))) {
        return std::nullopt;
    }
    return caches / first;
}

std::optional<std::string> whyNotADatabaseFile(const fs::path& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const char* what = nullptr;
    if (S_ISLNK(info.st_mode) && ::stat(file.c_str(), &info) != 0) {
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
            return std::nullopt; // it leads into a folder the user may not enter: opening tells what to check
        }
        what = "a link that leads nowhere"; // to nothing, or round in a circle
    } else if (S_ISDIR(info.st_mode)) {
        what = "a folder";
    } else if (S_ISFIFO(info.st_mode)) {
        what = "a pipe (FIFO)";
    } else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        what = "a device";
    } else if (S_ISSOCK(info.st_mode)) {
        what = "a socket";
    } else {
        return std::nullopt;
    }
    return file.string() + " is " + what + ", not a database file.";
}

} // namespace quillobrandt
