#include "Corvantesk/core/SetAsideFiles.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/core/FileDescriptor.h"

namespace fs = std::filesystem;

namespace corvantesk {
namespace {

bool isSetAside(const std::string& name) {
    return name.starts_with("corvantesk_") && name.ends_with(".bad");
}

// Cuts a regular file to its head, and dates it now when asked; anything else is left as it is.
void cutToHead(const fs::path& file, bool dateNow) {
    platform::FileDescriptor fd(::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kSetAsideHeadBytes) {
        (void)::ftruncate(fd.get(), static_cast<off_t>(kSetAsideHeadBytes));
    }
    if (dateNow) {
        ::futimens(fd.get(), nullptr);
    }
}

} // namespace

bool setAside(const fs::path& file, const struct stat* expected) {
    const fs::path aside = file.string() + ".bad";
    if (::rename(file.c_str(), aside.c_str()) != 0) {
        return false;
    }
    struct stat moved {};
    if (expected != nullptr &&
        (::lstat(aside.c_str(), &moved) != 0 || moved.st_dev != expected->st_dev || moved.st_ino != expected->st_ino)) {
        // Another entry took the unusable one's place meanwhile (another instance set it aside first and made
        // it afresh): it goes back to where its owner expects it.
        ::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE);
        return false;
    }
    cutToHead(aside, true);
    return true;
}

void sweepSetAsideFiles(const fs::path& folder) {
    const auto now = std::chrono::system_clock::now();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path path = it->path();
        struct stat st {};
        if (!isSetAside(path.filename().string()) || ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            continue;
        }
        const auto dated = std::chrono::system_clock::time_point(std::chrono::seconds(st.st_mtim.tv_sec));
        if (!S_ISREG(st.st_mode) || now - dated >= kSetAsideKeptFor) {
            ::unlink(path.c_str());
        } else if (static_cast<std::uintmax_t>(st.st_size) > kSetAsideHeadBytes) {
            cutToHead(path, false);
        }
    }
}

} // namespace corvantesk
