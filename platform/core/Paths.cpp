#include "platform/core/Paths.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform {
namespace {

fs::path envPath(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value != '/') {
        return {}; // XDG says relative values are to be ignored
    }
    return fs::path(value);
}

} // namespace

fs::path homeDir() {
    if (auto home = envPath("HOME"); !home.empty()) {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return fs::path(pw->pw_dir);
    }
    return fs::path("/");
}

fs::path configDir() {
    auto dir = envPath("XDG_CONFIG_HOME");
    return dir.empty() ? homeDir() / ".config" : dir;
}

fs::path appSupportDir() {
    auto dir = envPath("XDG_DATA_HOME");
    return dir.empty() ? homeDir() / ".local" / "share" : dir;
}

fs::path cachesDir() {
    auto dir = envPath("XDG_CACHE_HOME");
    return dir.empty() ? homeDir() / ".cache" : dir;
}

fs::path tempDir() {
    auto dir = envPath("TMPDIR");
    return dir.empty() ? fs::path("/tmp") : dir;
}

fs::path privateTempDir() {
    static std::mutex mutex;
    static fs::path fallback; // a mkdtemp folder, once the shared name proved unusable
    std::lock_guard lock(mutex);
    const fs::path base = tempDir();
    if (!fallback.empty() && fallback.parent_path() == base) {
        return fallback;
    }
    const uid_t uid = ::getuid();
    const fs::path wanted = base / ("quillobrandt-" + std::to_string(uid));
    std::error_code ec;
    fs::create_directories(base, ec);
    if (::mkdir(wanted.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st {};
        // lstat: a symlink planted by someone else under /tmp must not redirect our copies.
        if (::lstat(wanted.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid) {
            if ((st.st_mode & 0777) != 0700) {
                ::chmod(wanted.c_str(), 0700);
            }
            return wanted;
        }
    }
    std::string pattern = (base / ("quillobrandt-" + std::to_string(uid) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    fallback = pattern;
    return fallback;
}

fs::path expandTilde(const std::string& path) {
    if (path == "~") {
        return homeDir();
    }
    if (path.rfind("~/", 0) == 0) {
        return homeDir() / path.substr(2);
    }
    return fs::path(path);
}

fs::path cleanAbsolute(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = path.is_absolute() ? path : fs::absolute(path, ec);
    if (ec) {
        absolute = fs::path("/") / path;
    }
    fs::path cleaned = absolute.lexically_normal();
    // "/a/b/" normalises to "/a/b/"; drop the trailing empty component so comparisons agree.
    if (cleaned.has_relative_path() && cleaned.filename().empty()) {
        cleaned = cleaned.parent_path();
    }
    return cleaned;
}

bool isConfinedFileName(std::string_view name) {
    if (name.empty() || name == "~" || name.find('\0') != std::string_view::npos) {
        return false;
    }
    for (std::size_t start = 0;;) {
        const auto end = name.find('/', start);
        if (name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start) == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool isInside(const fs::path& path, const fs::path& folder) {
    const fs::path p = cleanAbsolute(path);
    const fs::path f = cleanAbsolute(folder);
    auto pi = p.begin();
    for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
        if (pi == p.end() || *pi != *fi) {
            return false;
        }
    }
    return true;
}

bool createPrivateDirectory(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
        return false;
    }
    return ::chmod(folder.c_str(), 0700) == 0;
}

} // namespace platform
