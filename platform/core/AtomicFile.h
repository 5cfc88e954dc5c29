#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/FileDescriptor.h"

namespace platform {

// Writes a file piece by piece with the guarantee of writeFileAtomically(): the pieces go to a temporary file beside
// `path` and only commit() puts it in place, so a big export never has to be held in memory whole. Destroyed
// without a successful commit, it removes its temporary file and leaves `path` as it was. One thread at a time.
class AtomicFileWriter {
public:
    // Creates the temporary file with the permission bits `mode`; ok() says whether that worked.
    explicit AtomicFileWriter(const std::filesystem::path& path, unsigned mode = 0600);
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter();

    // False once anything failed; later writes then do nothing.
    bool ok() const { return error_ == 0; }
    // The errno of the first failure, 0 while all went well.
    int error() const { return error_; }
    bool write(std::string_view bytes);
    // Flushes what was written to the disk ahead of commit(), so that commit() need not wait for it; false on
    // failure.
    bool flushToDisk();
    // Flushes to the disk (unless flushToDisk() did), renames the temporary file over `path` and, with
    // `syncFolder`, flushes the folder so the rename survives a power cut (without, the caller does that later:
    // syncFolderOf()); false (and `path` untouched) on failure.
    bool commit(bool syncFolder = true);

private:
    void fail(int code);

    std::filesystem::path path_;
    std::filesystem::path temp_;
    FileDescriptor fd_;
    int error_ = 0;
    bool flushed_ = false;
    bool committed_ = false;
};

// Flushes the folder holding `path` to the disk, so that a rename into it survives a power cut.
void syncFolderOf(const std::filesystem::path& path);

// Replaces `path` with `bytes` so that a reader (or the next start after a crash) sees either the
// old file or the new one, never a mix: write a temporary file beside it, fsync, rename, fsync the folder.
// `mode` is the new file's permission bits. Returns false (and leaves the old file) on any failure.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode = 0600);

// Deletes the temporary files writeFileAtomically() left in `folder` when a process ended during a write: those
// for targets whose names start with `targetPrefix`, last changed at least `minimumAge` ago (a younger one may
// belong to a write in progress in another process). Returns how many were removed; failures are ignored.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder, std::string_view targetPrefix,
                                   std::chrono::seconds minimumAge = std::chrono::seconds(60));

// Reads a whole file, refusing files larger than `maxBytes`. nullopt when missing, unreadable or too large.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes = 256u * 1024 * 1024);

} // namespace platform
