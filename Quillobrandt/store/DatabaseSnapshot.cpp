#include "Quillobrandt/store/DatabaseSnapshot.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"

namespace fs = std::filesystem;
using platform::FileDescriptor;

namespace quillobrandt {
namespace {

// The companions worth copying: the write-ahead log holds the newest rows, a leftover rollback journal
// undoes a half-written transaction. The "-shm" index is rebuilt from the log by SQLite.
constexpr std::array<const char*, 2> kCopiedCompanions{"-wal", "-journal"};
// Large enough that the kernel copies at full speed, small enough for a smooth progress bar.
constexpr std::size_t kChunk = std::size_t{32} << 20;

struct Failure {
    std::string what;
};

std::string errnoText(const std::string& what, const fs::path& file) {
    return what + " " + file.string() + ": " + std::strerror(errno);
}

// No-follow and non-blocking, so a planted symlink is not followed and a FIFO cannot hang the load;
// only a regular file is read. Returns an empty descriptor when the file is absent.
FileDescriptor openSource(const fs::path& file, bool required, off_t& size) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT && !required) {
            return fd;
        }
        throw Failure{errnoText("cannot open", file)};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw Failure{errnoText("cannot examine", file)};
    }
    if (!S_ISREG(st.st_mode)) {
        throw Failure{file.string() + " is not a regular file"};
    }
    size = st.st_size;
    return fd;
}

class CopyCounter {
public:
    CopyCounter(const SnapshotProgress& progress, off_t total) : progress_(progress), total_(total) {}
    void add(std::size_t bytes) {
        done_ += static_cast<off_t>(bytes);
        if (progress_ && total_ > 0) {
            progress_(std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_)));
        }
    }

private:
    const SnapshotProgress& progress_;
    off_t total_;
    off_t done_ = 0;
};

void copyWithReadWrite(int from, int to, const fs::path& file, CopyCounter& counter) {
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got == 0) {
            return;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Failure{errnoText("cannot read", file)};
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(to, buffer.data() + written, static_cast<std::size_t>(got - written));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw Failure{errnoText("cannot write the copy of", file)};
            }
            written += put;
        }
        counter.add(static_cast<std::size_t>(got));
    }
}

// Copies to the end of the file as it is now (a log may have grown since it was measured).
void copyContents(int from, int to, const fs::path& file, CopyCounter& counter) {
    for (;;) {
        const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, kChunk, 0);
        if (copied == 0) {
            return;
        }
        if (copied < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM) {
                copyWithReadWrite(from, to, file, counter); // file systems the kernel cannot copy between
                return;
            }
            throw Failure{errnoText("cannot copy", file)};
        }
        counter.add(static_cast<std::size_t>(copied));
    }
}

void copyOne(int from, const fs::path& file, const fs::path& target, CopyCounter& counter) {
    FileDescriptor to(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to) {
        throw Failure{errnoText("cannot create", target)};
    }
    copyContents(from, to.get(), file, counter);
    if (!to.close()) {
        throw Failure{errnoText("cannot finish", target)};
    }
}

// A copied "-journal" is a half-written transaction: SQLite must undo it before anyone may read, which needs
// write access. The copy is ours, so it is rolled back here once, and every later reader may open it read-only.
void rollBackJournal(const fs::path& file) {
    try {
        const auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
        auto statement = db.prepare("PRAGMA schema_version");
        if (const int result = statement.step(); result != SQLITE_ROW) {
            throw Failure{"cannot roll back the journal of " + file.string() + ": " + db.errorMessage()};
        }
    } catch (const platform::SqliteError& error) {
        throw Failure{"cannot roll back the journal of " + file.string() + ": " + error.what()};
    }
}

fs::path makeSnapshotFolder() {
    const fs::path base = platform::privateTempDir();
    if (base.empty()) {
        throw Failure{"no private temporary folder"};
    }
    std::string pattern = (base / (std::string(DatabaseSnapshot::folderPrefix) + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw Failure{errnoText("cannot create a folder in", base)};
    }
    return pattern;
}

} // namespace

DatabaseSnapshot::DatabaseSnapshot(fs::path source, fs::path folder, fs::path file)
    : source_(std::move(source)), folder_(std::move(folder)), file_(std::move(file)) {}

DatabaseSnapshot::~DatabaseSnapshot() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool DatabaseSnapshot::isOf(const fs::path& source) const {
    return resolveDatabaseFolder(source) == resolveDatabaseFolder(source_);
}

std::shared_ptr<const DatabaseSnapshot> DatabaseSnapshot::take(const fs::path& source,
                                                               const SnapshotProgress& progress) {
    const fs::path resolved = resolveDatabaseFolder(source);
    fs::path folder;
    try {
        // Every file is opened before any is copied, so the sizes add up to the whole for the progress.
        off_t mainSize = 0;
        FileDescriptor mainFile = openSource(resolved, true, mainSize);
        off_t total = mainSize;
        std::vector<std::pair<FileDescriptor, const char*>> companions;
        for (const char* suffix : kCopiedCompanions) {
            off_t size = 0;
            if (auto fd = openSource(resolved.string() + suffix, false, size)) {
                total += size;
                companions.emplace_back(std::move(fd), suffix);
            }
        }
        folder = makeSnapshotFolder();
        const fs::path file = folder / resolved.filename();
        CopyCounter counter(progress, total);
        copyOne(mainFile.get(), resolved, file, counter);
        bool hasJournal = false;
        for (const auto& [fd, suffix] : companions) {
            copyOne(fd.get(), resolved.string() + suffix, file.string() + suffix, counter);
            hasJournal = hasJournal || std::string(suffix) == "-journal";
        }
        if (hasJournal) {
            rollBackJournal(file);
        }
        storeLogInfo("   Reading a private snapshot: " + file.string());
        return std::shared_ptr<const DatabaseSnapshot>(new DatabaseSnapshot(source, folder, file));
    } catch (const Failure& failure) {
        storeLogError("❌ Failed to copy database: " + failure.what);
        if (!folder.empty()) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
        throw DatabaseError::cannotOpenDatabase();
    } catch (...) {
        // Stopped from the progress: a half copy is of use to nobody.
        if (!folder.empty()) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
        throw;
    }
}

} // namespace quillobrandt
