// Copies taken inside one read transaction of the database, so that no writer can change it meanwhile: of a
// rollback-mode file under its shared lock, of a WAL database through SQLite beside its live owner.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/ForeignDatabase.h"
#include "Quillobrandt/store/SnapshotCopies.h"
#include "Quillobrandt/store/SqliteFileLayers.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Sqlite.h"
#include "platform/core/WriteAll.h"

namespace fs = std::filesystem;
using platform::FileDescriptor;
using platform::SqliteDatabase;
using platform::SqliteError;

namespace quillobrandt::snapshot {
namespace {

// Pages per step when the copy is read through SQLite: the progress and the stop are looked at in between.
constexpr int kBackupPagesPerStep = 1024;
// Read through SQLite's descriptor into a buffer of this size while the read transaction holds the file.
constexpr std::size_t kInTransactionChunk = std::size_t{4} << 20;

} // namespace

bool copyInsideReadTransaction(const InPlaceRead& read, const fs::path& resolved, const fs::path& file,
                               CopyCounter& counter, const SnapshotStop& stop) {
    sqlite3_file* from = nullptr;
    sqlite3_int64 size = 0;
    if (sqlite3_file_control(read.db.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &from) != SQLITE_OK ||
        from == nullptr || from->pMethods == nullptr || from->pMethods->xFileSize(from, &size) != SQLITE_OK) {
        throw Failure{"cannot examine " + resolved.string()};
    }
    FileDescriptor to(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to) {
        throw Failure{errnoText("cannot create", file), errno};
    }
    // A program that ignores SQLite's lock may have cut the file short or rewritten it meanwhile.
    const auto changedMeanwhile = [&] {
        if (read.witness && read.witness->unchanged()) {
            return false;
        }
        storeLogInfo("   Snapshot discarded: a program that ignores SQLite's lock changed the database meanwhile");
        removeSideFiles(file);
        return true;
    };
    counter.restart(static_cast<off_t>(size));
    std::vector<char> buffer(kInTransactionChunk);
    for (sqlite3_int64 offset = 0; offset < size;) {
        if (stop && stop()) {
            throw DatabaseError::stopped();
        }
        const auto amount = static_cast<int>(std::min<sqlite3_int64>(size - offset, kInTransactionChunk));
        if (from->pMethods->xRead(from, buffer.data(), amount, offset) != SQLITE_OK) {
            if (changedMeanwhile()) {
                return false;
            }
            throw Failure{"cannot read " + resolved.string()};
        }
        if (!platform::writeAll(to.get(), buffer.data(), static_cast<std::size_t>(amount))) {
            throw Failure{errnoText("cannot write", file), errno};
        }
        offset += amount;
        counter.add(static_cast<std::size_t>(amount));
    }
    if (!to.close()) {
        throw Failure{errnoText("cannot finish", file), errno};
    }
    return !changedMeanwhile();
}

bool readAsReader(const fs::path& resolved, const fs::path& file, CopyCounter& counter, const SnapshotStop& stop) {
    // Declared before the connection, so that it also covers the connection's close.
    const NothingMadeBeside nothingMade(resolved);
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

} // namespace quillobrandt::snapshot
