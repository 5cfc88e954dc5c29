#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/core/FileDescriptor.h"

namespace quillobrandt {

// A file of a backup folder, opened for reading only if it is a regular file. The folder is someone else's and
// may be hostile: a symbolic link would copy any file the user can read into the extraction folder, a FIFO
// would hang the extraction and a device file could fill the disk. So the file is opened without following a
// link and without blocking, and checked on the open descriptor.
class StoredFile {
public:
    // nullopt when the file is missing, a link, or anything but a regular file.
    static std::optional<StoredFile> open(const std::filesystem::path& file);

    // A name that reopens exactly the file checked here (not whatever the folder holds under its name by
    // then), for readers that take a path. Valid while this object lives.
    std::filesystem::path openedPath() const;
    std::uint64_t size() const { return size_; }

private:
    StoredFile(platform::FileDescriptor fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}
    platform::FileDescriptor fd_;
    std::uint64_t size_ = 0;
};

} // namespace quillobrandt
