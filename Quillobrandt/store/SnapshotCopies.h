#pragma once

// The ways a DatabaseSnapshot copies a user's database, one attempt each, and what they share. Inside the store only.

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <sys/types.h>

#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "platform/core/FileDescriptor.h"

namespace quillobrandt::snapshot {

// The companions worth copying: the write-ahead log holds the newest rows, a leftover rollback journal
// undoes a half-written transaction. The "-shm" index is rebuilt from the log by SQLite.
inline constexpr std::array<const char*, 2> kCopiedCompanions{"-wal", "-journal"};

// A failure of the file system's; `error` is errno when there was one.
struct Failure {
    std::string what;
    int error = 0;
};

// The copy changed under our hands or fails SQLite's check: worth another attempt.
struct Unsettled {
    std::string what;
    bool sourceChanged = true;
};

// "<what> <file>: <the system's words for errno>".
std::string errnoText(const std::string& what, const std::filesystem::path& file);

// No-follow and non-blocking, so a planted symlink is not followed and a FIFO cannot hang the load;
// only a regular file is read. Returns an empty descriptor when the file is absent and not `required`.
// Throws Failure.
platform::FileDescriptor openSource(const std::filesystem::path& file, bool required);

// Removes a copy and whatever SQLite made beside it.
void removeSideFiles(const std::filesystem::path& file);

// True while another process has the WAL database open: each of its connections holds a read lock on one
// byte of the "-shm" for as long as it is connected.
bool hasLiveOwner(const std::filesystem::path& shm);

// The share of the bytes copied so far, for the progress callback.
class CopyCounter {
public:
    CopyCounter(const SnapshotProgress& progress, off_t total) : progress_(progress), total_(total) {}
    void add(std::size_t bytes) {
        done_ += static_cast<off_t>(bytes);
        report(total_ > 0 ? static_cast<double>(done_) / static_cast<double>(total_) : 0.0);
    }
    // Never backwards: a second attempt does not take the bar back to the start.
    void report(double fraction) {
        fraction = std::clamp(fraction, 0.0, 1.0);
        if (progress_ && fraction >= shown_) {
            shown_ = fraction;
            progress_(fraction);
        }
    }
    void restart(off_t total) {
        total_ = total;
        done_ = 0;
    }

private:
    const SnapshotProgress& progress_;
    off_t total_;
    off_t done_ = 0;
    double shown_ = 0.0;
};

// One attempt at a plain copy of `resolved` (with its "-wal" and a leftover "-journal") to `file`. Throws Unsettled
// when the source changed meanwhile, is empty after it was `seenChanging` (a program rewriting it), or the copy fails
// SQLite's check; Failure for the file system's errors, and DatabaseError (stopped, notMessagesDatabase).
void copyPlainly(const std::filesystem::path& resolved, const std::filesystem::path& file, CopyCounter& counter,
                 const SnapshotStop& stop, bool seenChanging);

// Copies the main file of a rollback-mode database while `read` holds SQLite's shared lock on it: no writer can change
// the file meanwhile (a writer's journal beside it is of a change not yet in the file), so its bytes are the state
// last committed and need no journal. Read through SQLite's own descriptor, as closing any other would drop the lock.
// Returns false (and leaves no file) when a program that ignores the lock changed the file meanwhile.
bool copyInsideReadTransaction(const InPlaceRead& read, const std::filesystem::path& resolved,
                               const std::filesystem::path& file, CopyCounter& counter, const SnapshotStop& stop);

// Reads the database as one more reader beside the program that has it open, inside one read transaction,
// page by page into `file`. Returns false (and leaves no file) when SQLite cannot read it so.
bool readAsReader(const std::filesystem::path& resolved, const std::filesystem::path& file, CopyCounter& counter,
                  const SnapshotStop& stop);

} // namespace quillobrandt::snapshot
