#pragma once

#include <utility>

#include "platform/core/FileDescriptor.h"

namespace quillobrandt {

// Marks this process as a running copy of the program for as long as it is held, and at start clears what a
// killed run left behind: database snapshots ("snapshot-*" folders of the private temporary folder), decrypted
// backup indexes and copied plain ones ("DecryptedManifest-<UUID>.db", "ManifestSnapshot-<UUID>.db" and their
// companions in the caches folder) and extraction folders ("Quillobrandt_<UUID>" in the caches folder) that still
// hold the unsaved marker: their extraction was never saved, and the unfinished edited copies it noted beside the
// destinations the user chose (see PartialFileNote). Leftovers are only removed when no other copy of the program
// holds the lock, since they may still be in use by it. Acquire once on the main thread at start-up, before any
// load, and keep it until the end.
class WorkingFilesLock {
public:
    // The file an extraction folder holds from its creation until the user saves the extraction. Kept in the
    // folder itself, so that nothing else (a settings file that went missing) can make a saved one look unsaved.
    static constexpr const char* unsavedExtractionMarker = ".unsaved";

    // Never throws: without a lock the sweep is simply skipped.
    static WorkingFilesLock acquireAndSweep();

    bool isHeld() const { return static_cast<bool>(fd_); }

private:
    explicit WorkingFilesLock(platform::FileDescriptor fd) : fd_(std::move(fd)) {}
    platform::FileDescriptor fd_;
};

} // namespace quillobrandt
