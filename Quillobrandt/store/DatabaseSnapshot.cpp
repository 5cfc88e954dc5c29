#include "Quillobrandt/store/DatabaseSnapshot.h"

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/FreeSpace.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "Quillobrandt/store/SnapshotCopies.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace quillobrandt {
using namespace snapshot; // the ways of copying
namespace {

// A plain copy is tried this often, a little longer apart each time, before the database counts as busy.
constexpr int kCopyAttempts = 5;
constexpr auto kFirstRetryDelay = std::chrono::milliseconds(20);

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
    // How the file stood when the load began. A program that ignores SQLite's lock may change it before a plain copy
    // first looks at it, or between two attempts, where no attempt sees it change: it is being changed all the same.
    const FileWitness asItWas(resolved);
    // No read in place of the file loses its lock to a descriptor closed here. Declared before the read, so that it
    // ends after the read's connection.
    std::optional<FileTurn> turn;
    // A rollback-mode database is copied inside one read transaction, which no writer can change under: the writer
    // waits only while the bytes are copied. A log beside it, or a journal no writer holds, is copied plainly below.
    std::optional<InPlaceRead> read = openInPlace(resolved, stop);
    if (read) {
        turn = std::move(read->turn);
    } else {
        turn.emplace(resolved, stop);
    }
    fs::path folder;
    try {
        if (!read) {
            openSource(resolved, true); // a missing or special file is refused before anything is made
        }
        std::uintmax_t needed = sizeOf(resolved);
        for (const char* suffix : kCopiedCompanions) {
            needed += read ? 0 : sizeOf(resolved.string() + suffix);
        }
        folder = makeSnapshotFolder(needed);
        const fs::path file = folder / resolved.filename();
        CopyCounter counter(progress, static_cast<off_t>(needed));

        bool copied = read && copyInsideReadTransaction(*read, resolved, file, counter, stop);
        // A copy under the read lock ends unfinished only when a program that ignores the lock changed the file.
        bool sourceChanged = read && !copied;
        if (read) {
            storeLogInfo(copied ? "   Copied inside one read transaction" : "   Copying the database's files instead");
            read.reset(); // the writer may go on: nothing below needs the lock
        }
        copied = copied || (hasLiveOwner(resolved.string() + "-shm") && readAsReader(resolved, file, counter, stop));
        std::string lastProblem;
        auto delay = kFirstRetryDelay;
        for (int attempt = 1; !copied && attempt <= kCopyAttempts; ++attempt) {
            try {
                copyPlainly(resolved, file, counter, stop, sourceChanged || !asItWas.unchanged());
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
            sourceChanged = sourceChanged || !asItWas.unchanged();
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
