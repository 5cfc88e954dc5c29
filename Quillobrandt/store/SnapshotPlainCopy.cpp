// A plain copy of a database's files, trusted only when nothing changed meanwhile and SQLite's check passes.
#include "Quillobrandt/store/SnapshotCopies.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/ForeignDatabase.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Sqlite.h"

namespace fs = std::filesystem;
using platform::FileDescriptor;
using platform::SqliteError;

namespace quillobrandt::snapshot {
namespace {

// Large enough that the kernel copies at full speed, small enough for a smooth progress bar.
constexpr std::size_t kChunk = std::size_t{32} << 20;
// Where SQLite's unix VFS keeps the lock that every connection to a WAL database holds while it is open.
constexpr off_t kShmDeadManSwitch = 120 + 8;
// SQLite's lock bytes in the main file of a rollback-mode database: the pending byte, the reserved byte and the
// shared range after them.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kLockBytes = 2 + 510;
// A copy needs SQLite's full check only when something could have changed the files unseen (see copyPlainly): how
// long before the copy the files must have been left alone.
constexpr std::chrono::seconds kQuietFor{3};

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

} // namespace

std::string errnoText(const std::string& what, const fs::path& file) {
    return what + " " + file.string() + ": " + std::strerror(errno);
}

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

void removeSideFiles(const fs::path& file) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::error_code ignored;
        fs::remove(file.string() + suffix, ignored);
    }
}

void copyPlainly(const fs::path& resolved, const fs::path& file, CopyCounter& counter, const SnapshotStop& stop,
                 bool seenChanging) {
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
    // SQLite takes an empty file for an empty database. One seen changing is a program that ignores the lock rewriting
    // it: `cp` cuts the file to nothing first, and freeing a large file's room takes a while before it writes.
    if (seenChanging && before.front().size == 0) {
        throw Unsettled{"the database was emptied while it was read"};
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

} // namespace quillobrandt::snapshot
