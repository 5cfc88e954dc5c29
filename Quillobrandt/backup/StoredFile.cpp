#include "Quillobrandt/backup/StoredFile.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace quillobrandt {

std::optional<StoredFile> StoredFile::open(const std::filesystem::path& file) {
    platform::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return StoredFile(std::move(fd), static_cast<std::uint64_t>(st.st_size));
}

std::filesystem::path StoredFile::openedPath() const {
    return "/proc/self/fd/" + std::to_string(fd_.get());
}

} // namespace quillobrandt
