#include "Quillobrandt/store/ReadInPlace.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/SqliteFileLayers.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/FileDescriptor.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using platform::SqliteError;

namespace quillobrandt {
namespace {

constexpr std::chrono::milliseconds kCommitWait{250};
// How often the file is asked for again while a writer holds it.
constexpr std::chrono::milliseconds kCommitPoll{1};
// SQLite's reserved lock in a rollback-mode database's main file: the byte after the pending byte at 1 GiB. A writer
// holds it from its first change until its commit ends.
constexpr off_t kReservedByte = 0x40000000 + 1;
// How often the read's lock is taken again when the file changed while it was taken.
constexpr int kLockAttempts = 4;
// How often a thread waiting for its turn on a file looks at its stop.
constexpr std::chrono::milliseconds kTurnPoll{50};

std::mutex& turnsMutex() {
    static std::mutex mutex;
    return mutex;
}
std::condition_variable& turnEnded() {
    static std::condition_variable ended;
    return ended;
}
std::set<std::pair<std::uint64_t, std::uint64_t>>& takenTurns() {
    static std::set<std::pair<std::uint64_t, std::uint64_t>> taken;
    return taken;
}

using Header = std::array<unsigned char, 100>;

// Why a file with this header and size cannot be read where it lies, or nothing: a database in rollback-journal mode
// (bytes 18 and 19 both 1), at least a page long.
std::optional<std::string> headerProblem(const Header& header, std::int64_t size) {
    if (std::memcmp(header.data(), "SQLite format 3", 16) != 0) {
        return "not a database file";
    }
    if (header[18] != 1 || header[19] != 1) {
        return "not in rollback-journal mode";
    }
    const unsigned pageSize = header[16] == 0 && header[17] == 1 ? 65536U : (header[16] << 8U) | header[17];
    if (size < static_cast<std::int64_t>(pageSize)) {
        return "shorter than a page";
    }
    return std::nullopt;
}

bool liesBeside(const fs::path& file, const char* side) {
    struct stat st {};
    return ::lstat((file.string() + side).c_str(), &st) == 0 || errno != ENOENT; // or cannot be looked for
}

// True while another process holds SQLite's reserved lock on the file: a writer between its first change and the end
// of its commit, whose journal beside the file is its own and no hot one.
bool heldByLiveWriter(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kReservedByte;
    lock.l_len = 1;
    return ::fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// Why the journal beside the file (of the descriptor `fd`) keeps it from being read where it lies, by SQLite's own
// test: a journal is hot, left by a writer that ended in the middle of a change, when no writer holds the reserved
// lock and its first byte is not zero. Only rolling it back into the file would settle that. A live writer's journal
// is of a change not yet in the file (or SQLite's shared lock waits for its commit), and one that a writer in
// journal_mode=TRUNCATE or PERSIST (or in the exclusive locking mode) emptied or zeroed after its commit undoes
// nothing.
std::optional<std::string> journalProblem(const fs::path& file, int fd) {
    const fs::path journal = file.string() + "-journal";
    const platform::FileDescriptor journalFd(::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!journalFd) {
        return errno == ENOENT ? std::nullopt
                               : std::optional<std::string>("a \"-journal\" that cannot be read lies beside it");
    }
    if (::fstat(journalFd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return "a \"-journal\" that is no file lies beside it";
    }
    if (heldByLiveWriter(fd)) {
        return std::nullopt;
    }
    char first = 0;
    if (::pread(journalFd.get(), &first, 1, 0) < 0) {
        return "a \"-journal\" that cannot be read lies beside it";
    }
    // Looked for again once the lock was looked at: a writer that just committed took its journal away first.
    if (first == 0 || !liesBeside(file, "-journal")) {
        return std::nullopt;
    }
    return "a \"-journal\" that no writer holds lies beside it";
}

// Before SQLite opens it: a regular file (never a FIFO that would hang the open), its header and its companions.
std::optional<std::string> whyNotInPlace(const fs::path& file) {
    const platform::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return std::string("cannot open it: ") + std::strerror(errno);
    }
    Header header{};
    if (!S_ISREG(st.st_mode) || ::pread(fd.get(), header.data(), header.size(), 0) != 100) {
        return "not a database file";
    }
    if (auto problem = headerProblem(header, st.st_size)) {
        return problem;
    }
    if (liesBeside(file, "-wal")) {
        return "a \"-wal\" lies beside it";
    }
    return journalProblem(file, fd.get());
}

// Once SQLite holds the shared lock, through SQLite's own descriptor: closing any other descriptor of the file would
// drop the lock. SQLite itself refused a journal that no writer holds when it took the lock.
std::optional<std::string> whyNotInPlaceOnceLocked(const SqliteDatabase& db, const fs::path& file) {
    sqlite3_file* handle = nullptr;
    Header header{};
    sqlite3_int64 size = 0;
    if (sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &handle) != SQLITE_OK ||
        handle == nullptr || handle->pMethods == nullptr ||
        handle->pMethods->xRead(handle, header.data(), static_cast<int>(header.size()), 0) != SQLITE_OK ||
        handle->pMethods->xFileSize(handle, &size) != SQLITE_OK) {
        return "its header cannot be read";
    }
    if (auto problem = headerProblem(header, size)) {
        return problem;
    }
    if (liesBeside(file, "-wal")) {
        return "a \"-wal\" lies beside it";
    }
    return std::nullopt;
}

// SQLite's own busy handler sleeps up to 100 ms between its tries. A writer that commits back to back holds the file
// nearly all the time and leaves it free only for the moment between two commits, which tries that far apart mostly
// miss: asked every millisecond, the read finds such a moment.
int waitOutACommit(void*, int tries) {
    if (tries >= kCommitWait / kCommitPoll) {
        return 0;
    }
    std::this_thread::sleep_for(kCommitPoll);
    return 1;
}

void logNotInPlace(const fs::path& file, const std::string& why) {
    storeLogInfo("   Not read where it lies: " + file.string() + " (" + why + ")");
}

} // namespace

FileWitness::FileWitness(const fs::path& file) : file_(file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) {
        stamp_ = {static_cast<std::int64_t>(st.st_dev),
                  static_cast<std::int64_t>(st.st_ino),
                  st.st_size,
                  st.st_mtim.tv_sec,
                  st.st_mtim.tv_nsec,
                  st.st_ctim.tv_sec,
                  st.st_ctim.tv_nsec};
    }
}

FileTurn::FileTurn(const fs::path& file, const std::function<bool()>& stop) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        return;
    }
    const std::pair key{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    std::unique_lock lock(turnsMutex());
    while (!takenTurns().insert(key).second) {
        if (stop && stop()) {
            throw DatabaseError::stopped();
        }
        turnEnded().wait_for(lock, kTurnPoll);
    }
    key_ = key;
}

FileTurn::~FileTurn() {
    release();
}

FileTurn::FileTurn(FileTurn&& other) noexcept : key_(std::exchange(other.key_, std::nullopt)) {}

FileTurn& FileTurn::operator=(FileTurn&& other) noexcept {
    if (this != &other) {
        release();
        key_ = std::exchange(other.key_, std::nullopt);
    }
    return *this;
}

void FileTurn::release() noexcept {
    if (key_) {
        const std::lock_guard lock(turnsMutex());
        takenTurns().erase(*std::exchange(key_, std::nullopt));
        turnEnded().notify_all();
    }
}

std::optional<InPlaceRead> openInPlace(const fs::path& file, std::function<bool()> stop) {
    const fs::path resolved = resolveDatabaseFile(file);
    InPlaceRead read{FileTurn(resolved, stop), {}, std::nullopt};
    if (const auto why = whyNotInPlace(resolved)) {
        logNotInPlace(resolved, *why);
        return std::nullopt;
    }
    try {
        // The previous attempt's connection, still holding the shared lock while the next one takes it: no SQLite
        // writer can commit in between, so only a program that ignores the lock can make that attempt fail too.
        SqliteDatabase holding;
        for (int attempt = 1;; ++attempt) {
            // A fresh connection each time: one that read the file before it changed keeps what it read (pages, the
            // schema) whenever the new file's header looks like the old one's, as a copy made over it may.
            read.db = SqliteDatabase::open(resolved, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, inPlaceFileLayer());
            read.db.distrustSchema();
            read.db.setStopCheck(stop);
            // A writer's commit holds the file for a moment: waiting it out is cheaper than a copy, and short enough
            // that a stop is never kept waiting.
            sqlite3_busy_handler(read.db.handle(), waitOutACommit, nullptr);
            read.db.exec("BEGIN");
            const FileWitness beforeLock(resolved);
            // The first read takes the shared lock (a hot journal fails it): from now until COMMIT no writer can
            // change the file.
            read.db.queryInt64("SELECT COUNT(*) FROM sqlite_schema");
            if (const auto why = whyNotInPlaceOnceLocked(read.db, resolved)) {
                logNotInPlace(resolved, *why + " once it was opened");
                return std::nullopt;
            }
            // The lock is this connection's now; closing the other keeps it (SQLite keeps the descriptor meanwhile).
            if (holding.isOpen()) {
                holding.tryExec("COMMIT");
                holding.close();
            }
            // Unchanged while the lock was taken, so what the first read took is of the file as it now stands.
            if (beforeLock.unchanged()) {
                read.witness = beforeLock;
                break;
            }
            if (attempt == kLockAttempts) {
                logNotInPlace(resolved, "it changed each time it was opened");
                return std::nullopt;
            }
            // Most likely a writer's commit of a moment ago, which the lock waited for: once more, with the file held.
            holding = std::move(read.db);
        }
        return read;
    } catch (const SqliteError& error) {
        if ((error.code() & 0xFF) == SQLITE_INTERRUPT) {
            throw DatabaseError::stopped();
        }
        logNotInPlace(resolved, std::string("SQLite cannot read it so: ") + error.what());
        return std::nullopt;
    }
}

} // namespace quillobrandt
