#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/core/Sqlite.h"

namespace quillobrandt {

// One thread of this process at a time opens descriptors of a user's database file through the store: closing any
// descriptor of a file drops every POSIX lock the process holds on it, the shared lock of a read in place among them.
// A read in place holds the turn for as long as its connection is open, a snapshot while it copies. Movable.
class FileTurn {
public:
    // Waits for the turn on the file at `file` (no link followed: pass the resolved file); a file that cannot be
    // examined needs none. Throws DatabaseError::stopped once `stop` returns true while waiting.
    explicit FileTurn(const std::filesystem::path& file, const std::function<bool()>& stop = {});
    ~FileTurn();
    FileTurn(FileTurn&& other) noexcept;
    FileTurn& operator=(FileTurn&& other) noexcept;
    FileTurn(const FileTurn&) = delete;
    FileTurn& operator=(const FileTurn&) = delete;

private:
    void release() noexcept;

    std::optional<std::pair<std::uint64_t, std::uint64_t>> key_; // device, inode
};

// What lies at a name (device, inode, size, modification and change times), taken when a read in place begins.
// SQLite's lock keeps SQLite's writers out, not a program that ignores it: `cp` over the file rewrites it where it
// lies, `truncate` cuts it. unchanged() is false once anything about it differs, or it cannot be looked at.
class FileWitness {
public:
    explicit FileWitness(const std::filesystem::path& file);
    bool unchanged() const { return FileWitness(file_).stamp_ == stamp_ && stamp_; }

private:
    std::filesystem::path file_;
    std::optional<std::array<std::int64_t, 7>> stamp_;
};

// A connection reading a user's database where it lies, with the file's turn (released after the connection closes)
// and how the file stood once the connection held it: a load that ends with the file not so was read torn.
struct InPlaceRead {
    FileTurn turn;
    platform::SqliteDatabase db;
    std::optional<FileWitness> witness;
};

// Opens a user's database where it lies when that is safe: the file (links followed) is in rollback-journal mode,
// has no "-wal" beside it, and a "-journal" beside it is no hot one (a live writer's, who holds the reserved lock, or
// one emptied or zeroed after a commit: the file is as last committed). The connection is read-only, through
// inPlaceFileLayer(), with the schema distrusted and `stop` ending any statement; it comes back inside a read
// transaction that has already read the file, so its shared lock keeps every writer from changing the file until
// COMMIT. Returns nullopt (and logs why) when the file must be copied plainly instead: another mode, a log beside it, a
// journal no writer holds (a writer that ended in the middle of a change: only a copy may be rolled back), a writer
// holding the file beyond a commit's moment, anything SQLite refuses. Throws DatabaseError::stopped once `stop` returns
// true.
std::optional<InPlaceRead> openInPlace(const std::filesystem::path& file, std::function<bool()> stop);

} // namespace quillobrandt
