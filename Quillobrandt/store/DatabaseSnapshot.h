#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace quillobrandt {

// Fraction (0...1) of the bytes copied so far. Called on the copying thread.
using SnapshotProgress = std::function<void(double fraction)>;

// A private copy of a user's database: the file, its "-wal" and a leftover "-journal" when present (never
// its "-shm", which belongs to the processes that have the original open), taken into a fresh folder of
// the private per-user temporary folder. SQLite only ever opens the copy, so nothing is written beside the
// user's file and a database in a folder the user cannot write still loads with the rows of its "-wal".
// The copy's folder is removed when the last owner drops the snapshot; a killed run's leftovers are swept by
// WorkingFilesLock at the next start.
//
// take() copies the whole database: call it from a worker thread, never the GUI thread. A taken snapshot
// never changes, so the shared pointer may be handed to other threads (the conversation list keeps the
// snapshot its conversations came from, and the edited copy is made from it).
class DatabaseSnapshot {
public:
    // Names of the snapshot folders inside the private temporary folder: "snapshot-XXXXXX".
    static constexpr const char* folderPrefix = "snapshot-";

    // Throws DatabaseError::cannotOpenDatabase when the source is missing, not a regular file (a symlink,
    // a folder, a FIFO), unreadable, or the copy cannot be written (the half-made copy is removed then).
    // Whatever `progress` throws (a stopped load) ends the copy too, removes it and passes through.
    static std::shared_ptr<const DatabaseSnapshot> take(const std::filesystem::path& source,
                                                        const SnapshotProgress& progress = {});

    ~DatabaseSnapshot();
    DatabaseSnapshot(const DatabaseSnapshot&) = delete;
    DatabaseSnapshot& operator=(const DatabaseSnapshot&) = delete;

    // The user's file, as given to take().
    const std::filesystem::path& source() const { return source_; }
    // The copy to hand to SQLite.
    const std::filesystem::path& file() const { return file_; }
    // True when `source` names the file this snapshot was taken of (compared with its folder resolved).
    bool isOf(const std::filesystem::path& source) const;

private:
    DatabaseSnapshot(std::filesystem::path source, std::filesystem::path folder, std::filesystem::path file);

    std::filesystem::path source_;
    std::filesystem::path folder_;
    std::filesystem::path file_;
};

} // namespace quillobrandt
