#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/core/FileDescriptor.h"

namespace quillobrandt {

// Marks this process as a running copy of the program for as long as it is held, and at start clears what a
// killed run left behind: database snapshots ("snapshot-*" folders of the private temporary folder), decrypted
// backup indexes and copied plain ones ("DecryptedManifest-<UUID>.db", "ManifestSnapshot-<UUID>.db" and their
// companions in the caches folder) and, when the saved
// extractions are known, every extraction folder ("Quillobrandt_<UUID>" in the caches folder) not among them.
// Leftovers are only removed when no other copy of the program holds the lock, since they may still be in
// use by it. Acquire once on the main thread at start-up, before any load, and keep it until the end.
class WorkingFilesLock {
public:
    // `savedExtractionFolders`: the extraction folders the user chose to keep; without them no extraction folder
    // is removed. Never throws: without a lock the sweep is simply skipped.
    static WorkingFilesLock
    acquireAndSweep(const std::optional<std::vector<std::filesystem::path>>& savedExtractionFolders = std::nullopt);

    bool isHeld() const { return static_cast<bool>(fd_); }

private:
    explicit WorkingFilesLock(platform::FileDescriptor fd) : fd_(std::move(fd)) {}
    platform::FileDescriptor fd_;
};

} // namespace quillobrandt
