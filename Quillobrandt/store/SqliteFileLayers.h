#pragma once

// How SQLite opens the files of a user's database: a file layer for reading one where it lies, and what SQLite's own
// file layer may do beside it while a reader joins a WAL database's owner. Inside the store only.

#include <filesystem>
#include <string>

namespace quillobrandt {

// The name of a file layer (an SQLite VFS over the system's own) through which a connection opens the main database
// file, and a journal beside it only to read, and nothing else by name: no log, no shared-memory index; it makes and
// deletes nothing. Temporary files of its own (sorting) still go to the temporary folder. A database in WAL mode
// cannot be read through it at all. Registered on first use; any thread.
const char* inPlaceFileLayer();

// While it lives, SQLite's own file layer makes no file on this thread whose name begins with `file`'s (its "-wal",
// "-shm" or "-journal"); it still opens those that are there. A connection that joins a WAL database beside its owner
// uses the owner's log and index, and when the owner closed them meanwhile it fails to open instead of leaving a new
// pair beside the user's file. Not movable: it marks its own thread.
class NothingMadeBeside {
public:
    explicit NothingMadeBeside(const std::filesystem::path& file);
    ~NothingMadeBeside();
    NothingMadeBeside(const NothingMadeBeside&) = delete;
    NothingMadeBeside& operator=(const NothingMadeBeside&) = delete;

private:
    std::string name_;
    const std::string* previous_ = nullptr;
};

} // namespace quillobrandt
