#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace quillobrandt {

// Fraction (0...1) of the bytes copied so far. Called on the copying thread.
using SnapshotProgress = std::function<void(double fraction)>;

// True once the work that takes a snapshot was asked to stop. Called on the copying thread.
using SnapshotStop = std::function<bool()>;

// A private, consistent copy of a user's database, taken into a fresh folder of the private per-user temporary
// folder (or of the caches folder when that is too small). SQLite only ever opens the copy, so nothing is
// written beside the user's file and a database in a folder the user cannot write still loads.
// - A database in rollback-journal mode is copied while one read transaction holds SQLite's shared lock on it
//   (openInPlace): no writer can change it meanwhile, and a writer waits only while the bytes are copied. A journal
//   beside it that a live writer holds is of a change not yet in the file, and is left out.
// - When another program has the database open in WAL mode (it holds the "-shm"), the copy is read through
//   SQLite as one more reader, inside one read transaction: one committed state, while that program writes on.
// - Otherwise (no read transaction can be had: a journal that no writer holds, a writer holding the file beyond a
//   commit's moment) the file, its "-wal" and a leftover "-journal" are copied as they are (never the "-shm", which
//   SQLite rebuilds from the log), and the copy counts only when none of them changed meanwhile (identity,
//   size, times and the headers that every commit or checkpoint changes) and, unless the files had been left alone
//   for a few seconds with nobody holding them (then any change would have shown), SQLite's quick_check passes.
//   A few attempts are made before the copy is refused.
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
    // Names of the snapshot folders inside the caches folder, used when the temporary folder is too small.
    static constexpr const char* cachesFolderPrefix = "Quillobrandt-snapshot-";

    // A symlinked `source` is followed: the copy is of the file it names, with that file's companions.
    // Throws DatabaseError:
    // - cannotOpenDatabase when the source is missing, not a regular file (a folder, a FIFO), has a companion
    //   that is no regular file, is unreadable, or the copy cannot be written;
    // - notEnoughSpace when neither the temporary nor the caches folder has room for the copy;
    // - beingChanged when the files changed during every attempt, or the file is no longer as it stood when take()
    //   began and no attempt could use it; damaged when the checked copy of a file unchanged since then fails SQLite's
    //   check; notMessagesDatabase when SQLite does not take the file for a database;
    // - stopped once `stop` returns true.
    // Whatever `progress` throws (a stopped load) ends the copy too and passes through. Nothing is left
    // behind by any failure.
    static std::shared_ptr<const DatabaseSnapshot>
    take(const std::filesystem::path& source, const SnapshotProgress& progress = {}, const SnapshotStop& stop = {});

    ~DatabaseSnapshot();
    DatabaseSnapshot(const DatabaseSnapshot&) = delete;
    DatabaseSnapshot& operator=(const DatabaseSnapshot&) = delete;

    // The user's file, as given to take().
    const std::filesystem::path& source() const { return source_; }
    // The copy to hand to SQLite.
    const std::filesystem::path& file() const { return file_; }
    // True when `source` names the file this snapshot was taken of (compared with every link resolved).
    bool isOf(const std::filesystem::path& source) const;

private:
    DatabaseSnapshot(std::filesystem::path source, std::filesystem::path folder, std::filesystem::path file);

    std::filesystem::path source_;
    std::filesystem::path folder_;
    std::filesystem::path file_;
};

} // namespace quillobrandt
