#include "Quillobrandt/store/EditedCopyWriter.h"

#include <algorithm>
#include <array>
#include <string>
#include <system_error>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "Quillobrandt/store/StoreLog.h"
#include "Quillobrandt/store/TriggerFunctions.h"
#include "platform/core/Sqlite.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using platform::SqliteError;

namespace quillobrandt {
namespace {

constexpr std::array<const char*, 3> kCompanionSuffixes{"-wal", "-shm", "-journal"};

std::vector<fs::path> withCompanions(const fs::path& file) {
    std::vector<fs::path> files{file};
    for (const char* suffix : kCompanionSuffixes) {
        files.emplace_back(file.string() + suffix);
    }
    return files;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error) && !error) {
        return true;
    }
    std::error_code ignored;
    return fs::exists(a, ignored) && fs::exists(b, ignored) && fs::equivalent(a, b, ignored); // hard links
}

// True when writing the target (or its companions) would touch the source or its companions.
bool targetTouchesSource(const fs::path& source, const fs::path& target) {
    for (const auto& targetFile : withCompanions(target)) {
        for (const auto& sourceFile : withCompanions(source)) {
            if (sameFile(sourceFile, targetFile)) {
                return true;
            }
        }
    }
    return false;
}

void removeTargetFiles(const fs::path& target) {
    for (const auto& file : withCompanions(target)) {
        std::error_code error;
        const auto status = fs::symlink_status(file, error);
        if (error || !fs::exists(status)) {
            continue;
        }
        fs::remove(file); // throws the file system's error; a non-empty folder is never emptied
    }
}

void removeIncompleteTarget(const fs::path& target) {
    for (const auto& file : withCompanions(target)) {
        std::error_code ignored;
        fs::remove(file, ignored);
    }
}

// A page-by-page copy through SQLite, reading the source as a reader sees it (rows in its -wal
// included). The copy is switched to a rollback journal so that it is one self-contained file.
void copyWithBackupApi(const fs::path& source, const fs::path& target) {
    const auto from = SqliteDatabase::open(resolveDatabaseFolder(source), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
    const auto to = SqliteDatabase::open(resolveDatabaseFolder(target),
                                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
    sqlite3_backup* backup = sqlite3_backup_init(to.handle(), "main", from.handle(), "main");
    if (backup == nullptr) {
        throw SqliteError(to.errorCode(), to.errorMessage());
    }
    const int stepResult = sqlite3_backup_step(backup, -1);
    const int finishResult = sqlite3_backup_finish(backup);
    if (stepResult != SQLITE_DONE) {
        throw SqliteError(stepResult, sqlite3_errstr(stepResult));
    }
    if (finishResult != SQLITE_OK) {
        throw SqliteError(finishResult, to.errorMessage());
    }
    auto journal = to.prepare(queries::journalModeDelete);
    if (!journal.next() || journal.columnText(0).value_or("") != "delete") {
        throw SqliteError(SQLITE_ERROR, "the copy keeps a write-ahead log");
    }
}

} // namespace

EditedCopyError::EditedCopyError()
    : std::runtime_error("The edited copy must not replace the database it is made from. Please choose another "
                         "name or folder for the copy.") {}

void writeEditedCopy(const fs::path& source, const fs::path& target,
                     const std::unordered_set<std::int64_t>& messageIDs,
                     const std::shared_ptr<const DatabaseSnapshot>& snapshot) {
    storeLogInfo("💾 Saving edited database copy");
    storeLogInfo("   From: " + source.string());
    storeLogInfo("   To: " + target.string());
    storeLogInfo("   Deleting " + std::to_string(messageIDs.size()) + " messages");

    std::error_code sourceError;
    if (!fs::is_regular_file(source, sourceError)) {
        throw fs::filesystem_error("cannot copy the database", source, target,
                                   sourceError ? sourceError
                                               : std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (targetTouchesSource(source, target)) {
        storeLogError("❌ Refusing to write the edited copy over its source: " + target.string());
        throw EditedCopyError();
    }
    // Taken before an old target is removed, so a source that cannot be read leaves it in place. Held until
    // the copy is made; a fresh snapshot is removed again right after.
    std::shared_ptr<const DatabaseSnapshot> readFrom;
    if (snapshot && snapshot->isOf(source)) {
        readFrom = snapshot;
    } else if (!isWorkingCopyLocation(resolveDatabaseFolder(source))) {
        readFrom = DatabaseSnapshot::take(source);
    }
    removeTargetFiles(target);
    try {
        copyWithBackupApi(readFrom ? readFrom->file() : source, target);
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Failed to copy database: ") + error.what() +
                      " (code: " + std::to_string(error.code()) + ")");
        removeIncompleteTarget(target);
        throw DatabaseError::cannotOpenDatabase();
    }
    storeLogInfo("✅ Database copied");
    readFrom.reset();

    SqliteDatabase copy;
    try {
        copy = SqliteDatabase::open(resolveDatabaseFolder(target), SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
        defineUnknownTriggerFunctions(copy);
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Failed to open copied database: ") + error.what());
        copy.close();
        removeIncompleteTarget(target);
        throw DatabaseError::cannotOpenDatabase();
    }
    storeLogInfo("✅ Opened copied database for editing");

    // Sorted so that the log and any failure are the same on every run.
    std::vector<std::int64_t> ids(messageIDs.begin(), messageIDs.end());
    std::sort(ids.begin(), ids.end());
    std::size_t deleted = 0;
    try {
        // Cascades remove the deleted messages' chat and attachment links (and attachments no other message
        // uses), as on the phone; secure_delete overwrites the freed text even if the vacuum below fails.
        copy.exec("PRAGMA foreign_keys=ON");
        copy.exec("PRAGMA secure_delete=ON");
        copy.exec("BEGIN IMMEDIATE");
        auto remove = copy.prepare(queries::deleteMessage);
        for (const auto id : ids) {
            remove.reset();
            remove.bindInt64(1, id);
            if (const int rc = remove.step(); rc != SQLITE_DONE) {
                storeLogError("⚠️ Failed to delete message " + std::to_string(id) + ": " + copy.errorMessage());
                throw SqliteError(rc, copy.errorMessage());
            }
            ++deleted;
        }
        remove = {};
        copy.exec("COMMIT");
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Edited copy not saved: ") + error.what());
        copy.tryExec("ROLLBACK");
        copy.close();
        removeIncompleteTarget(target);
        throw DatabaseError::queryFailed();
    }
    storeLogInfo("✅ Deleted " + std::to_string(deleted) + " messages");

    storeLogInfo("🧹 Vacuuming database...");
    try {
        auto vacuum = copy.prepare(queries::vacuum);
        if (const int rc = vacuum.step(); rc != SQLITE_DONE) {
            storeLogError("⚠️ Vacuum failed: " + copy.errorMessage());
            throw SqliteError(rc, copy.errorMessage());
        }
        storeLogInfo("✅ Database vacuumed successfully");
        // The copy counts only when SQLite finds every page and index of it sound.
        auto check = copy.prepare("PRAGMA integrity_check(1)");
        const std::string verdict = check.next() ? check.columnText(0).value_or("") : copy.errorMessage();
        if (verdict != "ok") {
            storeLogError("❌ The edited copy fails SQLite's integrity check: " + verdict);
            throw SqliteError(SQLITE_CORRUPT, verdict);
        }
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Edited copy not saved: ") + error.what());
        copy.close();
        removeIncompleteTarget(target);
        throw DatabaseError::fromSqlite(error.code(), DatabaseError::queryFailed());
    }
    storeLogInfo("✅ Edited copy saved successfully");
    copy.close();
}

} // namespace quillobrandt
