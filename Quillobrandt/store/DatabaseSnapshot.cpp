#include "Quillobrandt/store/DatabaseSnapshot.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/ForeignDatabase.h"
#include "Quillobrandt/store/FreeSpace.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"

namespace fs = std::filesystem;
using platform::FileDescriptor;
using platform::SqliteDatabase;
using platform::SqliteError;

namespace quillobrandt {
namespace {

// The companions worth copying: the write-ahead log holds the newest rows, a leftover rollback journal
// undoes a half-written transaction. The "-shm" index is rebuilt from the log by SQLite.
constexpr std::array<const char*, 2> kCopiedCompanions{"-wal", "-journal"};
// Large enough that the kernel copies at full speed, small enough for a smooth progress bar.
constexpr std::size_t kChunk = std::size_t{32} << 20;
// Pages per step when the copy is read through SQLite: the progress and the stop are looked at in between.
constexpr int kBackupPagesPerStep = 1024;
// A plain copy is tried this often, a little longer apart each time, before the database counts as busy.
constexpr int kCopyAttempts = 5;
constexpr auto kFirstRetryDelay = std::chrono::milliseconds(20);
// Where SQLite's unix VFS keeps the lock that every connection to a WAL database holds while it is open.
constexpr off_t kShmDeadManSwitch = 120 + 8;
// SQLite's lock bytes in the main file of a rollback-mode database: the pending byte, the reserved byte and the
// shared range after them.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kLockBytes = 2 + 510;
// A copy needs SQLite's full check only when something could have changed the files unseen (see copyPlainly): how
// long before the copy the files must have been left alone.
constexpr std::chrono::seconds kQuietFor{3};

struct Failure {
    std::string what;
    int error = 0; // errno, when the failure was the file system's
};

// The copy changed under our hands or fails SQLite's check: worth another attempt.
struct Unsettled {
    std::string what;
    bool sourceChanged = true;
};

std::string errnoText(const std::string& what, const fs::path& file) {
    return what + " " + file.string() + ": " + std::strerror(errno);
}

// No-follow and non-blocking, so a planted symlink is not followed and a FIFO cannot hang the load;
// only a regular file is read. Returns an empty descriptor when the file is absent.
FileDescriptor openSource(const fs::path& file, bool required) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT && !required) {
            return fd;
        }
        throw Failure{errnoText("cannot open", file), errno};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw Failure{errnoText("cannot examine", file), errno};
    }
    if (!S_ISREG(st.st_mode)) {
        throw Failure{file.string() + " is not a regular file"};
    }
    return fd;
}

// What a file looks like at one moment: which file it is, its size and times, and its first bytes (a
// database's header holds the change counter of every commit, a log's header the salts and checkpoint
// sequence that change whenever the log restarts).
struct FileState {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    std::array<char, 100> header{};

    bool operator==(const FileState&) const = default;
};

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileState stateOf(int fd, const fs::path& file) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw Failure{errnoText("cannot examine", file), errno};
    }
    FileState state;
    state.present = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.modified = nanoseconds(st.st_mtim);
    state.changed = nanoseconds(st.st_ctim);
    if (::pread(fd, state.header.data(), state.header.size(), 0) < 0) {
        throw Failure{errnoText("cannot read", file), errno};
    }
    return state;
}

FileState stateAt(const fs::path& file) {
    const FileDescriptor fd = openSource(file, false);
    return fd ? stateOf(fd.get(), file) : FileState{};
}

// True while another process has the WAL database open: each of its connections holds a read lock on one
// byte of the "-shm" for as long as it is connected.
bool hasLiveOwner(const fs::path& shm) {
    const FileDescriptor fd(::open(shm.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kShmDeadManSwitch;
    lock.l_len = 1;
    return ::fcntl(fd.get(), F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// True while another process holds the rollback-mode database's pending or exclusive lock (a write lock on SQLite's
// lock bytes at 1 GiB): its change may be half in the file already, and without a journal beside the file nothing
// in the copy could undo it.
bool heldByWriter(int fd, const FileState& state) {
    const bool rollbackMode = state.header[18] == 1 && state.header[19] == 1;
    if (!rollbackMode) {
        return false;
    }
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kPendingByte;
    lock.l_len = kLockBytes;
    return ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// True while another process holds any of SQLite's locks on the database (a reader's or a writer's): it has the file
// open in a transaction, or in WAL mode at all.
bool lockedByAnyone(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kPendingByte;
    lock.l_len = kLockBytes;
    return ::fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// True when every file was last modified well before now: a write during the copy then shows in the modification
// time even where a file system keeps it only to the second or two.
bool quietBeforeNow(const std::vector<FileState>& states) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t limit = nanoseconds(now) - std::chrono::nanoseconds(kQuietFor).count();
    return std::all_of(states.begin(), states.end(),
                       [&](const FileState& state) { return !state.present || state.modified < limit; });
}

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

void copyWithReadWrite(int from, int to, const fs::path& file, const fs::path& target, CopyCounter& counter) {
    std::vector<char> buffer(std::size_t{1} << 20);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(from, buffer.data(), buffer.size(), offset);
        if (got == 0) {
            return;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Failure{errnoText("cannot read", file), errno};
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(to, buffer.data() + written, static_cast<std::size_t>(got - written));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw Failure{errnoText("cannot write", target), errno};
            }
            written += put;
        }
        offset += got;
        counter.add(static_cast<std::size_t>(got));
    }
}

// Copies to the end of the file as it is now (a log may have grown since it was measured). Reads by offset,
// so the source's descriptor can be copied again by a later attempt.
void copyContents(int from, int to, const fs::path& file, const fs::path& target, CopyCounter& counter) {
    for (loff_t offset = 0;;) {
        const ssize_t copied = ::copy_file_range(from, &offset, to, nullptr, kChunk, 0);
        if (copied == 0) {
            return;
        }
        if (copied < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (offset == 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM)) {
                copyWithReadWrite(from, to, file, target, counter); // file systems the kernel cannot copy between
                return;
            }
            throw Failure{errnoText("cannot copy " + file.string() + " to", target), errno};
        }
        counter.add(static_cast<std::size_t>(copied));
    }
}

void copyOne(int from, const fs::path& file, const fs::path& target, CopyCounter& counter) {
    FileDescriptor to(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to) {
        throw Failure{errnoText("cannot create", target), errno};
    }
    copyContents(from, to.get(), file, target, counter);
    if (!to.close()) {
        throw Failure{errnoText("cannot finish", target), errno};
    }
}

// A copied "-journal" is a half-written transaction: SQLite must undo it before anyone may read, which needs
// write access. The copy is ours, so it is rolled back here once, and every later reader may open it read-only.
// Then SQLite checks the copy's structure; the answer is "ok" or the first fault found.
std::string settleAndCheck(const fs::path& file, const SnapshotStop& stop) {
    // A copy of ours, opened the way every reader of a user's database is opened.
    const auto db = openForeignDatabase(file, SQLITE_OPEN_READWRITE, stop);
    db.exec("PRAGMA synchronous=OFF"); // a private, throwaway copy: waiting for the disk buys nothing
    auto check = db.prepare("PRAGMA quick_check(1)");
    if (!check.next()) {
        throw SqliteError(db.errorCode(), db.errorMessage());
    }
    return check.columnText(0).value_or("");
}

void removeSideFiles(const fs::path& file) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::error_code ignored;
        fs::remove(file.string() + suffix, ignored);
    }
}

// One attempt at a plain copy. Throws Unsettled when the source changed meanwhile or the copy fails the check.
void copyPlainly(const fs::path& resolved, const fs::path& file, CopyCounter& counter, const SnapshotStop& stop) {
    // Every file is opened before any is copied, so the sizes add up to the whole for the progress.
    FileDescriptor mainFile = openSource(resolved, true);
    std::vector<FileState> before{stateOf(mainFile.get(), resolved)};
    off_t total = before.front().size;
    std::vector<std::pair<FileDescriptor, const char*>> companions;
    for (const char* suffix : kCopiedCompanions) {
        auto fd = openSource(resolved.string() + suffix, false);
        before.push_back(fd ? stateOf(fd.get(), resolved.string() + suffix) : FileState{});
        total += before.back().size;
        if (fd) {
            companions.emplace_back(std::move(fd), suffix);
        }
    }
    const bool withJournal = !companions.empty() && std::string_view(companions.back().second) == "-journal";
    const auto writing = [&] { return !withJournal && heldByWriter(mainFile.get(), before.front()); };
    if (writing()) {
        throw Unsettled{"another program is writing the database"};
    }
    // Files nobody has touched for a while and nobody holds cannot change unseen during the copy (any write would
    // change a size, a header or a time compared below), so the copy is what they hold: SQLite's full check, which
    // reads the whole copy once more, is kept for files that were just written, are held, or come with a journal.
    const bool quiet = !withJournal && quietBeforeNow(before) && !lockedByAnyone(mainFile.get());
    counter.restart(total);
    removeSideFiles(file);
    copyOne(mainFile.get(), resolved, file, counter);
    for (const auto& [fd, suffix] : companions) {
        copyOne(fd.get(), resolved.string() + suffix, file.string() + suffix, counter);
    }
    std::vector<FileState> after{stateAt(resolved)};
    for (const char* suffix : kCopiedCompanions) {
        after.push_back(stateAt(resolved.string() + suffix));
    }
    if (after != before) {
        throw Unsettled{"the database changed while it was copied"};
    }
    if (writing()) {
        throw Unsettled{"another program started writing the database while it was copied"};
    }
    if (hasLiveOwner(resolved.string() + "-shm")) {
        throw Unsettled{"another program opened the database while it was copied"};
    }
    if (quiet) {
        storeLogInfo("   Copied files left alone for a while: no further check");
        return;
    }
    std::string verdict;
    try {
        verdict = settleAndCheck(file, stop);
    } catch (const SqliteError& error) {
        const int code = error.code() & 0xFF;
        if (code == SQLITE_INTERRUPT) {
            throw DatabaseError::stopped();
        }
        if (code == SQLITE_NOTADB) {
            throw DatabaseError::notMessagesDatabase();
        }
        throw Unsettled{std::string("the copy cannot be checked: ") + error.what(), false};
    }
    if (verdict != "ok") {
        throw Unsettled{"the copy fails SQLite's check: " + verdict, false};
    }
}

// Reads the database as one more reader beside the program that has it open, inside one read transaction,
// page by page into `file`. Returns false (and leaves no file) when SQLite cannot read it so.
bool readAsReader(const fs::path& resolved, const fs::path& file, CopyCounter& counter, const SnapshotStop& stop) {
    try {
        auto source = openForeignDatabase(resolved, SQLITE_OPEN_READONLY, stop);
        source.neverCheckpointOnClose();
        sqlite3_busy_timeout(source.handle(), 2000);
        source.exec("BEGIN");
        source.queryInt64("SELECT COUNT(*) FROM sqlite_schema"); // pins one committed state until COMMIT
        {
            auto target = SqliteDatabase::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
            target.exec("PRAGMA synchronous=OFF"); // a private, throwaway copy: waiting for the disk buys nothing
            struct Finish {
                void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
            };
            std::unique_ptr<sqlite3_backup, Finish> backup(
                sqlite3_backup_init(target.handle(), "main", source.handle(), "main"));
            if (!backup) {
                throw SqliteError(target.errorCode(), target.errorMessage());
            }
            for (int rc = SQLITE_OK; rc != SQLITE_DONE;) {
                rc = sqlite3_backup_step(backup.get(), kBackupPagesPerStep);
                if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                } else if (rc != SQLITE_OK && rc != SQLITE_DONE) {
                    throw SqliteError(rc, sqlite3_errstr(rc));
                }
                const int pages = sqlite3_backup_pagecount(backup.get());
                if (pages > 0) {
                    counter.report(static_cast<double>(pages - sqlite3_backup_remaining(backup.get())) / pages);
                }
            }
            if (const int rc = sqlite3_backup_finish(backup.release()); rc != SQLITE_OK) {
                throw SqliteError(rc, target.errorMessage());
            }
            // One self-contained file, like every other snapshot.
            target.exec("PRAGMA journal_mode=DELETE");
        }
        source.exec("COMMIT");
        return true;
    } catch (const SqliteError& error) {
        removeSideFiles(file);
        if ((error.code() & 0xFF) == SQLITE_INTERRUPT) {
            throw DatabaseError::stopped();
        }
        storeLogInfo(std::string("   Cannot read the open database as a reader (") + error.what() +
                     "); copying its files instead");
        return false;
    }
}

std::uintmax_t sizeOf(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

std::string noSpaceText(const fs::path& folder, std::uintmax_t needed) {
    return notEnoughSpaceText(folder, needed, "to read the database");
}

// A fresh folder for the copy: in the private temporary folder when it has room for `needed` bytes, else in the
// caches folder (on disk, where the temporary folder may be a small RAM disk).
fs::path makeSnapshotFolder(std::uintmax_t needed) {
    const fs::path privateFolder = platform::privateTempDir();
    if (privateFolder.empty()) {
        throw Failure{"no private temporary folder"};
    }
    fs::path pattern = privateFolder / (std::string(DatabaseSnapshot::folderPrefix) + "XXXXXX");
    if (freeSpace(privateFolder) < needed + kSpaceMargin) {
        const fs::path caches = platform::cachesDir();
        std::error_code ignored;
        fs::create_directories(caches, ignored);
        if (freeSpace(caches) < needed + kSpaceMargin) {
            throw DatabaseError::notEnoughSpace(noSpaceText(privateFolder, needed + kSpaceMargin));
        }
        storeLogInfo("   Not enough room in " + privateFolder.string() + "; copying into " + caches.string());
        pattern = caches / (std::string(DatabaseSnapshot::cachesFolderPrefix) + "XXXXXX");
    }
    std::string text = pattern.string();
    if (::mkdtemp(text.data()) == nullptr) {
        throw Failure{errnoText("cannot create a folder in", pattern.parent_path()), errno};
    }
    return text;
}

void removeFolder(const fs::path& folder) {
    if (!folder.empty()) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
}

} // namespace

DatabaseSnapshot::DatabaseSnapshot(fs::path source, fs::path folder, fs::path file)
    : source_(std::move(source)), folder_(std::move(folder)), file_(std::move(file)) {}

DatabaseSnapshot::~DatabaseSnapshot() {
    removeFolder(folder_);
}

bool DatabaseSnapshot::isOf(const fs::path& source) const {
    return resolveDatabaseFile(source) == resolveDatabaseFile(source_);
}

std::shared_ptr<const DatabaseSnapshot> DatabaseSnapshot::take(const fs::path& source, const SnapshotProgress& progress,
                                                               const SnapshotStop& stop) {
    const fs::path resolved = resolveDatabaseFile(source);
    const FileTurn turn(resolved, stop); // no read in place of the file loses its lock to a descriptor closed here
    fs::path folder;
    try {
        openSource(resolved, true); // a missing or special file is refused before anything is made
        std::uintmax_t needed = sizeOf(resolved);
        for (const char* suffix : kCopiedCompanions) {
            needed += sizeOf(resolved.string() + suffix);
        }
        folder = makeSnapshotFolder(needed);
        const fs::path file = folder / resolved.filename();
        CopyCounter counter(progress, static_cast<off_t>(needed));

        bool copied = hasLiveOwner(resolved.string() + "-shm") && readAsReader(resolved, file, counter, stop);
        bool sourceChanged = false;
        std::string lastProblem;
        auto delay = kFirstRetryDelay;
        for (int attempt = 1; !copied && attempt <= kCopyAttempts; ++attempt) {
            try {
                copyPlainly(resolved, file, counter, stop);
                copied = true;
            } catch (const Unsettled& unsettled) {
                lastProblem = unsettled.what;
                sourceChanged = sourceChanged || unsettled.sourceChanged;
                storeLogInfo("   Snapshot attempt " + std::to_string(attempt) + " discarded: " + unsettled.what);
                removeSideFiles(file);
                if (attempt < kCopyAttempts) {
                    if (stop && stop()) {
                        throw DatabaseError::stopped();
                    }
                    std::this_thread::sleep_for(delay);
                    delay *= 2;
                    // A program that opened the database meanwhile is read beside, as a reader.
                    copied = hasLiveOwner(resolved.string() + "-shm") && readAsReader(resolved, file, counter, stop);
                }
            }
        }
        if (!copied) {
            storeLogError("❌ No consistent copy of " + resolved.string() + ": " + lastProblem);
            throw sourceChanged ? DatabaseError::beingChanged() : DatabaseError::damaged();
        }
        counter.report(1.0);
        storeLogInfo("   Reading a private snapshot: " + file.string());
        return std::shared_ptr<const DatabaseSnapshot>(new DatabaseSnapshot(source, folder, file));
    } catch (const Failure& failure) {
        storeLogError("❌ Failed to copy database: " + failure.what);
        const fs::path where = folder.empty() ? platform::privateTempDir() : folder.parent_path();
        removeFolder(folder);
        if (isOutOfSpace(failure.error)) {
            throw DatabaseError::notEnoughSpace(noSpaceText(where, sizeOf(resolved) + kSpaceMargin));
        }
        throw DatabaseError::cannotOpenDatabase();
    } catch (...) {
        // Refused, or stopped from the progress: a half copy is of use to nobody.
        removeFolder(folder);
        throw;
    }
}

} // namespace quillobrandt
