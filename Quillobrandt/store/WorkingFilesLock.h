#pragma once

#include <utility>

#include "platform/core/FileDescriptor.h"

namespace quillobrandt {

// Marks this process as a running copy of the program for as long as it is held, and at start clears what a
// killed run left behind: database snapshots ("snapshot-*" folders of the private temporary folder) and
// decrypted backup indexes ("DecryptedManifest-<UUID>.db" and their companions in the caches folder).
// Leftovers are only removed when no other copy of the program holds the lock, since they may still be in
// use by it. Acquire once on the main thread at start-up, before any load, and keep it until the end.
class WorkingFilesLock {
public:
    // Never throws: without a lock the sweep is simply skipped.
    static WorkingFilesLock acquireAndSweep();

    bool isHeld() const { return static_cast<bool>(fd_); }

private:
    explicit WorkingFilesLock(platform::FileDescriptor fd) : fd_(std::move(fd)) {}
    platform::FileDescriptor fd_;
};

} // namespace quillobrandt
