#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace quillobrandt {

// The databases this session has loaded or started from. An edited copy may replace none of them: each is
// known by its path (links resolved) and by the device and inode it had when it was read, so another name
// for it (a hard link, a symlink, the folder moved) is caught too. Any thread.
class ReadDatabases {
public:
    void add(const std::filesystem::path& file);
    // True when `file` names one of them, by path or by the file it is (now or when it was read).
    bool contains(const std::filesystem::path& file) const;

private:
    using Identity = std::pair<std::uint64_t, std::uint64_t>; // device, inode
    struct Entry {
        std::filesystem::path path;
        std::optional<Identity> identity;
    };
    static std::optional<Identity> identityOf(const std::filesystem::path& file);
    static std::filesystem::path resolved(const std::filesystem::path& file);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace quillobrandt
