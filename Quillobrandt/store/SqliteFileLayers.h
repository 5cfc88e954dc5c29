#pragma once

// How SQLite opens the files of a user's database: a file layer for reading one where it lies, and what SQLite's own
// file layer may do beside it while a reader joins a WAL database's owner. Inside the store only.

#include <filesystem>
#include <memory>

namespace quillobrandt {

// The name of a file layer (an SQLite VFS over the system's own) through which a connection opens the main database
// file, and a journal beside it only to read, and nothing else by name: no log, no shared-memory index; it makes and
// deletes nothing. Temporary files of its own (sorting) still go to the temporary folder. A database in WAL mode
// cannot be read through it at all. Registered on first use; any thread.
const char* inPlaceFileLayer();

// While it lives, SQLite's own file layer, on this thread, makes none of `file`'s companions ("-wal", "-shm",
// "-journal") nor the file itself, and cuts none of those it opened: it still opens and reads those that are there. A
// connection that joins a WAL database beside its owner uses the owner's log and index; when the owner closed them
// meanwhile it fails to open instead of leaving a new pair beside the user's file, and when the owner is gone but left
// them (killed, or keeping them on close) it fails instead of cutting the index and building it anew where it lies.
// Not movable: it marks its own thread.
class NothingMadeBeside {
public:
    explicit NothingMadeBeside(const std::filesystem::path& file);
    ~NothingMadeBeside();
    NothingMadeBeside(const NothingMadeBeside&) = delete;
    NothingMadeBeside& operator=(const NothingMadeBeside&) = delete;

    struct Guarded; // the names and the descriptors SQLite opened by them; the file layer's business

private:
    std::unique_ptr<Guarded> guarded_;
    Guarded* previous_ = nullptr;
};

} // namespace quillobrandt
