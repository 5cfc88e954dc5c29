#include "platform/core/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/core/FileDescriptor.h"
#include "platform/core/WriteAll.h"

namespace fs = std::filesystem;

namespace platform {

AtomicFileWriter::AtomicFileWriter(const fs::path& path, unsigned mode) : path_(path) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    // Appended piece by piece: GCC 12 at -O3 misreads `"." + std::string&&` as an overlapping copy (-Wrestrict).
    std::string tempName = ".";
    tempName += path.filename().string();
    tempName += ".tmp-XXXXXX";
    std::string pattern = (folder / tempName).string();
    fd_ = FileDescriptor(::mkstemp(pattern.data()));
    if (!fd_) {
        fail(errno);
        return;
    }
    temp_ = pattern;
    if (::fchmod(fd_.get(), static_cast<mode_t>(mode)) != 0) {
        fail(errno);
    }
}

AtomicFileWriter::~AtomicFileWriter() {
    if (!committed_ && !temp_.empty()) {
        fd_.close();
        ::unlink(temp_.c_str());
    }
}

void AtomicFileWriter::fail(int code) {
    if (error_ == 0) {
        error_ = code != 0 ? code : EIO;
    }
}

bool AtomicFileWriter::write(std::string_view bytes) {
    if (!ok()) {
        return false;
    }
    if (!writeAll(fd_.get(), bytes)) {
        fail(errno);
    }
    return ok();
}

bool AtomicFileWriter::flushToDisk() {
    if (!ok() || flushed_) {
        return ok();
    }
    if (::fsync(fd_.get()) != 0) {
        fail(errno);
    }
    if (!fd_.close()) {
        fail(errno);
    }
    flushed_ = ok();
    return ok();
}

bool AtomicFileWriter::commit(bool syncFolder) {
    if (!ok() || committed_) {
        return ok() && committed_;
    }
    if (!flushToDisk() || ::rename(temp_.c_str(), path_.c_str()) != 0) {
        fail(errno);
        return false;
    }
    committed_ = true;
    if (syncFolder) {
        syncFolderOf(path_);
    }
    return true;
}

void syncFolderOf(const fs::path& path) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) {
        ::fsync(dir.get());
    }
}

bool writeFileAtomically(const fs::path& path, std::string_view bytes, unsigned mode) {
    int error = 0;
    {
        AtomicFileWriter writer(path, mode);
        if (writer.write(bytes) && writer.commit()) {
            return true;
        }
        error = writer.error();
    }
    errno = error; // set after the temporary file is gone: callers name the cause
    return false;
}

std::size_t removeStaleTemporaries(const fs::path& folder, std::string_view targetPrefix,
                                   std::chrono::seconds minimumAge) {
    constexpr std::string_view kMarker = ".tmp-";
    constexpr std::size_t kRandomPart = 6; // mkstemp's XXXXXX
    std::size_t removed = 0;
    std::error_code ec;
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 1 + targetPrefix.size() + kMarker.size() + kRandomPart || name[0] != '.' ||
            name.compare(1, targetPrefix.size(), targetPrefix) != 0 ||
            name.compare(name.size() - kRandomPart - kMarker.size(), kMarker.size(), kMarker) != 0) {
            continue;
        }
        std::error_code fileError;
        if (!it->is_regular_file(fileError) || it->is_symlink(fileError)) {
            continue;
        }
        const auto changed = fs::last_write_time(it->path(), fileError);
        if (fileError || now - changed < minimumAge) {
            continue;
        }
        removed += fs::remove(it->path(), fileError) ? 1 : 0;
    }
    return removed;
}

std::optional<std::string> readFile(const fs::path& path, std::size_t maxBytes) {
    // Non-blocking: opening a FIFO for reading would wait for a writer; only a regular file is read anyway.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > maxBytes) {
        return std::nullopt;
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > maxBytes) {
            return std::nullopt;
        }
    }
    return content;
}

} // namespace platform
