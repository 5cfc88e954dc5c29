#include "Quillobrandt/store/ReadDatabases.h"

#include <sys/stat.h>

#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace quillobrandt {

std::optional<ReadDatabases::Identity> ReadDatabases::identityOf(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return Identity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

fs::path ReadDatabases::resolved(const fs::path& file) {
    std::error_code error;
    auto path = fs::weakly_canonical(platform::cleanAbsolute(file), error);
    return error ? platform::cleanAbsolute(file) : path;
}

void ReadDatabases::add(const fs::path& file) {
    Entry entry{resolved(file), identityOf(file)};
    const std::lock_guard lock(mutex_);
    for (const auto& known : entries_) {
        if (known.path == entry.path && known.identity == entry.identity) {
            return;
        }
    }
    entries_.push_back(std::move(entry));
}

bool ReadDatabases::contains(const fs::path& file) const {
    const auto path = resolved(file);
    const auto identity = identityOf(file);
    const std::lock_guard lock(mutex_);
    for (const auto& known : entries_) {
        if (known.path == path) {
            return true;
        }
        if (identity && (identity == known.identity || identity == identityOf(known.path))) {
            return true;
        }
    }
    return false;
}

} // namespace quillobrandt
