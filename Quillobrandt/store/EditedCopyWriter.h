#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "Quillobrandt/store/DatabaseSnapshot.h"

namespace quillobrandt {

// The edited copy would replace a database that must stay: the one it is made from (or one of its companion
// files), another database being read, or a database some program uses.
class EditedCopyError : public std::runtime_error {
public:
    // A database being read (the source, the Messages database, one this session loaded).
    EditedCopyError();
    // `target` has `sideFile` (its -wal, -shm or -journal) beside it.
    static EditedCopyError liveDatabase(const std::filesystem::path& target, const std::filesystem::path& sideFile);
    const char* description() const noexcept { return what(); }

private:
    explicit EditedCopyError(const std::string& message);
};

// True once the save was asked to stop.
using EditedCopyStop = std::function<bool()>;

// True for the Messages database at its default place (~/Library/Messages/chat.db), under any name.
bool isDefaultMessagesDatabase(const std::filesystem::path& file);

// Copies `source` with SQLite's backup API (so rows still in the source's "-wal" come along) into a temporary
// file beside `target`, deletes the given message rows in one transaction with secure_delete on, vacuums and
// checks the copy's integrity, and only then renames it over `target`: a failed save leaves an existing target
// exactly as it was and nothing beside it. A source that is not a working copy is never opened: the copy is
// read from `snapshot` when it was taken of `source`, else from a fresh one. The copy may not grow much beyond
// its source (a trigger that keeps adding rows fails the save), and no statement on it may take far more work than
// a real delete, compaction or check needs (a trigger that computes without end fails it too); a database whose own
// code would call a function one call of which runs for hours is refused before any work. The temporary file
// is noted (PartialFileNote), so that one a killed run left is removed at the next start.
// Throws EditedCopyError for a target that must stay (the source, the default Messages database, a file with
// a -wal, -shm or -journal beside it), DatabaseError::sourceMissing when the source is gone, cannotWriteCopy
// naming the destination's folder for the file system's errors (full disk, quota, I/O, read-only), and the
// DatabaseError of the data otherwise (stopped soon after `stop` returns true).
void writeEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                     const std::unordered_set<std::int64_t>& messageIDs,
                     const std::shared_ptr<const DatabaseSnapshot>& snapshot = nullptr,
                     const EditedCopyStop& stop = {});

} // namespace quillobrandt
