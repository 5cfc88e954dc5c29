// A copy read through SQLite, inside one read transaction of the database as it is being written.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/ForeignDatabase.h"
#include "Quillobrandt/store/SnapshotCopies.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Sqlite.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using platform::SqliteError;

namespace quillobrandt::snapshot {
namespace {

// Pages per step when the copy is read through SQLite: the progress and the stop are looked at in between.
constexpr int kBackupPagesPerStep = 1024;

} // namespace

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

} // namespace quillobrandt::snapshot
