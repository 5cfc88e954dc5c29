#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/FileDescriptor.h"

namespace corvantesk {

class Storage;

// A regular file opened without following a link or waiting on a FIFO (mode 0600 when made); an empty descriptor
// for anything else.
platform::FileDescriptor openRegularFile(const std::filesystem::path& path, int flags);

// The right to write one queue's files, and the files of other instances this queue takes in.
//
// One owner per queue file: the owner holds an exclusive lock on "corvantesk_offline_<name>.lock" for its
// lifetime (flock, so a second queue in the same process is refused too); a lock file nobody could ever open to
// lock is set aside and made afresh. An instance that cannot have it keeps
// files of its own, "corvantesk_offline_<name>.<id>.json" with their own lock; the next owner of the queue file
// adopts such files once their owner is gone.
class QueueOwnership {
public:
    // Takes the queue file's lock, or makes files of this instance's own.
    QueueOwnership(Storage& storage, const std::string& queueName);
    QueueOwnership(const QueueOwnership&) = delete;
    QueueOwnership& operator=(const QueueOwnership&) = delete;

    // The name the files are stored under: the queue's own, or "<name>.<id>" for an instance's own files.
    const std::string& fileName() const { return fileName_; }
    bool ownsQueueFile() const { return ownsQueueFile_; }

    // The owner of the queue file takes the lock of every file set left by an instance that has ended; returns
    // the names their files are stored under.
    std::vector<std::string> adoptLeftFiles();
    std::size_t adoptedCount() const { return adopted_.size(); }
    // Deletes the adopted files once the queue's own file holds their events.
    void removeAdoptedFiles();

    // Lets go of the lock and of the adopted files' locks.
    void release();

private:
    struct Adopted {
        std::string fileName;
        platform::FileDescriptor lock;
    };

    Storage& storage_;
    const std::string queueName_;
    std::string fileName_;
    bool ownsQueueFile_ = false;
    platform::FileDescriptor lock_;
    std::vector<Adopted> adopted_;
};

} // namespace corvantesk
