// The file layers of SQLite that a user's database is opened through: the in-place layer over SQLite's own, and the
// careful system calls below both.
#include "Quillobrandt/store/SqliteFileLayers.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sqlite3.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace quillobrandt {

struct NothingMadeBeside::Guarded {
    std::string file;
    std::vector<int> opened;

    // The file itself and the companions SQLite gives it; any other name, even one that begins as the file's does
    // (a folder named after it, the private folder a copy goes to), is not the user's.
    bool names(std::string_view name) const {
        if (!name.starts_with(file)) {
            return false;
        }
        const auto rest = name.substr(file.size());
        return rest.empty() || rest == "-wal" || rest == "-shm" || rest == "-journal";
    }
};

namespace {

constexpr const char* kLayerName = "quillobrandt-in-place";

// The layer's file: its own methods in front, the system layer's file right behind it in the same allocation.
struct LayerFile {
    sqlite3_file base;
    sqlite3_file* below;
};

sqlite3_file* below(sqlite3_file* file) {
    return reinterpret_cast<LayerFile*>(file)->below;
}

sqlite3_vfs* system(sqlite3_vfs* layer) {
    return static_cast<sqlite3_vfs*>(layer->pAppData);
}

// Version 1: no shared memory and no memory mapping, so SQLite can never take the file into WAL mode.
const sqlite3_io_methods kFileMethods = {
    1,
    [](sqlite3_file* f) { return below(f)->pMethods->xClose(below(f)); },
    [](sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
        return below(f)->pMethods->xRead(below(f), data, amount, offset);
    },
    [](sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
        return below(f)->pMethods->xWrite(below(f), data, amount, offset);
    },
    [](sqlite3_file* f, sqlite3_int64 size) { return below(f)->pMethods->xTruncate(below(f), size); },
    [](sqlite3_file* f, int flags) { return below(f)->pMethods->xSync(below(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* size) { return below(f)->pMethods->xFileSize(below(f), size); },
    [](sqlite3_file* f, int lock) { return below(f)->pMethods->xLock(below(f), lock); },
    [](sqlite3_file* f, int lock) { return below(f)->pMethods->xUnlock(below(f), lock); },
    [](sqlite3_file* f, int* reserved) { return below(f)->pMethods->xCheckReservedLock(below(f), reserved); },
    [](sqlite3_file* f, int op, void* arg) { return below(f)->pMethods->xFileControl(below(f), op, arg); },
    [](sqlite3_file* f) { return below(f)->pMethods->xSectorSize(below(f)); },
    [](sqlite3_file* f) { return below(f)->pMethods->xDeviceCharacteristics(below(f)); },
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// SQLite opens a file with a plain open(), which for a FIFO put at the user's file's name after it was checked waits
// for a writer for ever, beyond any stop. While the layer opens the user's file the open does not wait (a regular
// file does not notice). While a NothingMadeBeside lives, an open of the user's file or a companion of it makes
// nothing, and what it opened is never cut. Every other call of this process goes on as before.
sqlite3_syscall_ptr systemOpen = nullptr;
sqlite3_syscall_ptr systemTruncate = nullptr;
sqlite3_syscall_ptr systemClose = nullptr;
thread_local bool openingUsersFile = false;
thread_local NothingMadeBeside::Guarded* guarded = nullptr;

int openCarefully(const char* name, int flags, int mode) {
    if (openingUsersFile) {
        flags |= O_NONBLOCK;
    }
    const bool beside = guarded != nullptr && guarded->names(name);
    if (beside) {
        flags &= ~O_CREAT;
    }
    const int fd = reinterpret_cast<int (*)(const char*, int, int)>(systemOpen)(name, flags, mode);
    if (beside && fd >= 0) {
        guarded->opened.push_back(fd);
    }
    return fd;
}

// SQLite cuts an index that no other process holds to nothing before it builds it anew: the first to open it after
// its owner is gone. A reader beside the owner never needs to, so for the user's files that is refused, and the read
// fails instead.
int truncateCarefully(int fd, off_t size) {
    if (guarded != nullptr && std::find(guarded->opened.begin(), guarded->opened.end(), fd) != guarded->opened.end()) {
        errno = EACCES;
        return -1;
    }
    return reinterpret_cast<int (*)(int, off_t)>(systemTruncate)(fd, size);
}

int closeCarefully(int fd) {
    if (guarded != nullptr) {
        std::erase(guarded->opened, fd); // the number may be given to another file next
    }
    return reinterpret_cast<int (*)(int)>(systemClose)(fd);
}

// SQLite's own layer opens, cuts and closes every file, the in-place layer's too, through the careful calls above from
// the first use on.
void callCarefullyBelow() {
    static const bool installed = [] {
        sqlite3_vfs* const base = sqlite3_vfs_find(nullptr);
        if (base->iVersion < 3 || base->xGetSystemCall == nullptr || base->xSetSystemCall == nullptr) {
            return false;
        }
        systemOpen = base->xGetSystemCall(base, "open");
        systemTruncate = base->xGetSystemCall(base, "ftruncate");
        systemClose = base->xGetSystemCall(base, "close");
        if (systemOpen == nullptr || systemTruncate == nullptr || systemClose == nullptr) {
            return false;
        }
        base->xSetSystemCall(base, "close", reinterpret_cast<sqlite3_syscall_ptr>(&closeCarefully));
        base->xSetSystemCall(base, "ftruncate", reinterpret_cast<sqlite3_syscall_ptr>(&truncateCarefully));
        base->xSetSystemCall(base, "open", reinterpret_cast<sqlite3_syscall_ptr>(&openCarefully));
        return true;
    }();
    (void)installed;
}

// The main database, read-only, and the nameless temporary files SQLite sorts in (made in the temporary
// folder); a log or anything else named is refused. The journal beside the file is only opened read-only, never made:
// SQLite reads its first byte to tell a hot one (which a read-only connection refuses) from one a writer in
// journal_mode=TRUNCATE or PERSIST left emptied, and takes one it cannot open for hot.
int layerOpen(sqlite3_vfs* layer, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    auto* file = reinterpret_cast<LayerFile*>(f);
    file->base.pMethods = nullptr;
    const bool readOnly = (flags & SQLITE_OPEN_READONLY) != 0 && (flags & SQLITE_OPEN_CREATE) == 0;
    const bool mainFileOrJournal = (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL)) != 0;
    if (name != nullptr && !(readOnly && mainFileOrJournal)) {
        return SQLITE_CANTOPEN;
    }
    file->below = reinterpret_cast<sqlite3_file*>(file + 1);
    openingUsersFile = name != nullptr;
    const int rc = system(layer)->xOpen(system(layer), name, file->below, flags, outFlags);
    openingUsersFile = false;
    if (file->below->pMethods != nullptr) {
        file->base.pMethods = &kFileMethods; // so that SQLite closes it, even after a failed open
    }
    return rc;
}

sqlite3_vfs makeLayer() {
    sqlite3_vfs* const base = sqlite3_vfs_find(nullptr);
    callCarefullyBelow();
    sqlite3_vfs layer{};
    layer.iVersion = 1;
    layer.szOsFile = static_cast<int>(sizeof(LayerFile)) + base->szOsFile;
    layer.mxPathname = base->mxPathname;
    layer.zName = kLayerName;
    layer.pAppData = base;
    layer.xOpen = layerOpen;
    layer.xDelete = [](sqlite3_vfs*, const char*, int) { return SQLITE_IOERR_DELETE; };
    layer.xAccess = [](sqlite3_vfs* v, const char* name, int flags, int* result) {
        return system(v)->xAccess(system(v), name, flags, result);
    };
    layer.xFullPathname = [](sqlite3_vfs* v, const char* name, int size, char* out) {
        return system(v)->xFullPathname(system(v), name, size, out);
    };
    layer.xDlOpen = [](sqlite3_vfs* v, const char* name) { return system(v)->xDlOpen(system(v), name); };
    layer.xDlError = [](sqlite3_vfs* v, int size, char* out) { system(v)->xDlError(system(v), size, out); };
    layer.xDlSym = [](sqlite3_vfs* v, void* handle, const char* symbol) {
        return system(v)->xDlSym(system(v), handle, symbol);
    };
    layer.xDlClose = [](sqlite3_vfs* v, void* handle) { system(v)->xDlClose(system(v), handle); };
    layer.xRandomness = [](sqlite3_vfs* v, int size, char* out) {
        return system(v)->xRandomness(system(v), size, out);
    };
    layer.xSleep = [](sqlite3_vfs* v, int microseconds) { return system(v)->xSleep(system(v), microseconds); };
    layer.xCurrentTime = [](sqlite3_vfs* v, double* now) { return system(v)->xCurrentTime(system(v), now); };
    layer.xGetLastError = [](sqlite3_vfs* v, int size, char* out) {
        return system(v)->xGetLastError(system(v), size, out);
    };
    return layer;
}

} // namespace

const char* inPlaceFileLayer() {
    static const bool registered = [] {
        static sqlite3_vfs layer = makeLayer();
        return sqlite3_vfs_register(&layer, 0) == SQLITE_OK;
    }();
    return registered ? kLayerName : "quillobrandt-in-place-unavailable"; // an unknown name fails the open
}

NothingMadeBeside::NothingMadeBeside(const std::filesystem::path& file)
    : guarded_(std::make_unique<Guarded>(Guarded{file.string(), {}})) {
    callCarefullyBelow();
    previous_ = std::exchange(guarded, guarded_.get());
}

NothingMadeBeside::~NothingMadeBeside() {
    guarded = previous_;
}

} // namespace quillobrandt
