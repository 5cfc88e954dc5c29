#include "Quillobrandt/store/EditedCopyWriter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/ForeignDatabase.h"
#include "Quillobrandt/store/FreeSpace.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "Quillobrandt/store/PartialFileNotes.h"
#include "Quillobrandt/store/StoreLog.h"
#include "Quillobrandt/store/TriggerFunctions.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"
#include "platform/core/Uuid.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using platform::SqliteError;

namespace quillobrandt {
namespace {

constexpr std::array<const char*, 3> kCompanionSuffixes{"-wal", "-shm", "-journal"};
// Pages the copy may grow beyond its source: the rows the schema's delete triggers add (a deleted message's
// guid in two bookkeeping tables) and SQLite's own slack. A copy with fewer messages needs no more than that.
constexpr std::int64_t kSpareCopyPages = 256;
constexpr std::int64_t kDeletedMessagesPerSparePage = 16;
// Less room than this left beside the copy after SQLite reported "full" means the disk is full.
constexpr std::uintmax_t kDiskFullBelow = std::uintmax_t{4} << 20;
// How much work one statement on the copy may take, in steps of SQLite's virtual machine. Deleting a message with
// the phone's own triggers takes about 420 steps; compacting and checking the copy about 1,300 a page. The
// allowances are thousands of times that, and leave room for a few scans of the whole file per deleted message (a
// trigger whose lookup has no index), so no real delete of any number of messages comes near them, while a trigger
// that computes without end (a recursive query) reaches them within seconds.
constexpr std::int64_t kStepsPerStatement = 10'000'000;
constexpr std::int64_t kDeleteStepsPerPage = 4'000;
constexpr std::int64_t kCompactStepsPerPage = 100'000;
constexpr const char* kIntegrityCheck = "PRAGMA integrity_check(1)";

// The steps the copy's current statement has taken against those it may take. Asked, with the caller's stop,
// by the connection's progress handler every stopCheckSteps steps.
class StepBudget {
public:
    void allow(std::int64_t steps) {
        allowed_ = steps;
        used_ = 0;
    }
    // True once the current statement has used up its steps.
    bool spend() {
        used_ += SqliteDatabase::stopCheckSteps;
        exceeded_ = exceeded_ || used_ > allowed_;
        return used_ > allowed_;
    }
    bool exceeded() const { return exceeded_; }
    std::int64_t allowed() const { return allowed_; }

private:
    std::int64_t allowed_ = kStepsPerStatement;
    std::int64_t used_ = 0;
    bool exceeded_ = false;
};

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

// The side file of a database that some program uses (or used and left to be recovered), if there is one.
std::optional<fs::path> liveSideFile(const fs::path& target) {
    for (const char* suffix : kCompanionSuffixes) {
        const fs::path side = target.string() + suffix;
        std::error_code error;
        if (fs::exists(fs::symlink_status(side, error))) {
            return side;
        }
    }
    return std::nullopt;
}

// "The copy cannot be written to "<folder>": <cause>." for an error of the file system or of SQLite writing the
// copy: it names the destination, never the source.
DatabaseError cannotWrite(const fs::path& target, int errorNumber) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    return DatabaseError::cannotWriteCopy("The copy cannot be written to \"" + folder.string() +
                                          "\": " + std::strerror(errorNumber) + ".");
}

// The system's reason behind SQLite's failure on `db` (ENOSPC, EDQUOT, EIO, EROFS, ...), else a fitting one.
int systemCause(const SqliteDatabase& db, int code) {
    if (const int errorNumber = db.isOpen() ? sqlite3_system_errno(db.handle()) : 0; errorNumber != 0) {
        return errorNumber;
    }
    switch (code & 0xFF) {
    case SQLITE_FULL:
        return ENOSPC;
    case SQLITE_READONLY:
        return EROFS;
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
        return EACCES;
    default:
        return EIO;
    }
}

// A failure while the copy is written: the destination's fault for the file system's errors, else what SQLite
// says of the data (`fallback` for the rest).
DatabaseError writeFailure(const fs::path& target, const SqliteDatabase& db, int code, DatabaseError fallback) {
    switch (code & 0xFF) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
        return cannotWrite(target, systemCause(db, code));
    default:
        return DatabaseError::fromSqlite(code, fallback);
    }
}

// A fresh, empty file beside the target, with the mode a new file of the user's gets: the copy is written there
// and takes the target's name only once it is complete and checked. Noted, so that a run killed meanwhile does
// not leave it there for good.
PartialFileNote createTemporaryBeside(const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    for (int attempt = 0; attempt < 8; ++attempt) {
        try {
            return PartialFileNote::create(
                folder / ("." + target.filename().string() + "." + platform::makeUuidString() + ".partial"));
        } catch (const std::system_error& error) {
            if (error.code().value() != EEXIST) {
                throw cannotWrite(target, error.code().value());
            }
        }
    }
    throw cannotWrite(target, EEXIST);
}

void removeTemporary(const fs::path& temporary) {
    for (const auto& file : withCompanions(temporary)) {
        std::error_code ignored;
        fs::remove(file, ignored);
    }
}

// Flushes the finished copy and its folder entry to the disk, so the rename never publishes a file still in
// the page cache only. Throws the destination's error.
void flushToDisk(const fs::path& file, const fs::path& target) {
    const platform::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) {
        throw cannotWrite(target, errno);
    }
}

void flushFolder(const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const platform::FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.get()); // the copy is complete either way; this only makes its name durable
    }
}

// A page-by-page copy through SQLite of the snapshot (rows of its log included) into the temporary file, which
// is switched to a rollback journal so that it is one self-contained file. Returns the source's page count.
std::int64_t copyWithBackupApi(const fs::path& source, const fs::path& temporary, const fs::path& target,
                               const EditedCopyStop& stop) {
    SqliteDatabase from;
    std::int64_t pages = 0;
    try {
        from = openForeignDatabase(source, SQLITE_OPEN_READONLY, stop);
        pages = from.queryInt64("PRAGMA page_count");
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Failed to read the database to copy: ") + error.what() +
                      " (code: " + std::to_string(error.code()) + ")");
        throw DatabaseError::fromSqlite(error.code(), DatabaseError::cannotOpenDatabase());
    }
    SqliteDatabase to;
    try {
        to = openForeignDatabase(temporary, SQLITE_OPEN_READWRITE, stop);
        to.exec("PRAGMA synchronous=OFF"); // flushed once, before the rename
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
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Failed to copy database: ") + error.what() +
                      " (code: " + std::to_string(error.code()) + ")");
        throw writeFailure(target, to, error.code(), DatabaseError::queryFailed());
    }
    return pages;
}

// Deletes the messages, compacts and checks the copy in the temporary file, each statement within its budget.
// Throws DatabaseError.
void editCopy(const fs::path& temporary, const fs::path& target, const std::unordered_set<std::int64_t>& messageIDs,
              std::int64_t sourcePages, const EditedCopyStop& stop) {
    StepBudget budget; // outlives the connection that asks it
    const auto stopOrSpent = [&stop, &budget] { return (stop && stop()) || budget.spend(); };
    SqliteDatabase copy;
    try {
        copy = openForeignDatabase(temporary, SQLITE_OPEN_READWRITE, stopOrSpent);
        defineUnknownTriggerFunctions(copy);
        copy.exec("PRAGMA synchronous=OFF"); // flushed once, before the rename
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Failed to open copied database: ") + error.what());
        throw writeFailure(target, copy, error.code(), DatabaseError::cannotOpenDatabase());
    }
    storeLogInfo("✅ Opened copied database for editing");

    // A trigger that keeps adding rows (a crafted database) fails the save at this size instead of filling the disk.
    const auto maxPages =
        sourcePages + kSpareCopyPages + static_cast<std::int64_t>(messageIDs.size()) / kDeletedMessagesPerSparePage;
    // SQLite says "full" both for the disk and for the page limit; a disk with room left means the limit.
    const auto failed = [&](const SqliteError& error, DatabaseError fallback) {
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        if ((error.code() & 0xFF) == SQLITE_FULL && freeSpace(folder) >= kDiskFullBelow) {
            storeLogError("❌ The edited copy would grow beyond its source; a trigger keeps adding rows");
            return DatabaseError(DatabaseError::Code::queryFailed,
                                 "The edited copy would grow larger than the database it is made from: a trigger in "
                                 "the database keeps adding rows. Nothing was saved.");
        }
        return writeFailure(target, copy, error.code(), fallback);
    };

    const auto budgetSpent = [&budget](const std::string& what, const std::string& text) {
        storeLogError("❌ " + what + " took more than " + std::to_string(budget.allowed()) + " steps");
        return DatabaseError(DatabaseError::Code::queryFailed, "The edited copy was not saved: " + text);
    };

    // Sorted so that the log and any failure are the same on every run.
    std::vector<std::int64_t> ids(messageIDs.begin(), messageIDs.end());
    std::sort(ids.begin(), ids.end());
    std::size_t deleted = 0;
    try {
        copy.exec("PRAGMA max_page_count=" + std::to_string(maxPages));
        // Cascades remove the deleted messages' chat and attachment links (and attachments no other message
        // uses), as on the phone; secure_delete overwrites the freed text even before the vacuum.
        copy.exec("PRAGMA foreign_keys=ON");
        copy.exec("PRAGMA secure_delete=ON");
        // Both statements as SQLite compiles them with the database's own code (triggers, cascades, indexes, CHECK
        // constraints): one call of some functions runs beyond the budget and the stop, so such code is refused
        // before any work (platform::CostlyCallError).
        copy.prepare(queries::deleteMessage);
        copy.prepare(kIntegrityCheck);
        copy.exec("BEGIN IMMEDIATE");
        auto remove = copy.prepare(queries::deleteMessage);
        for (const auto id : ids) {
            remove.reset();
            remove.bindInt64(1, id);
            budget.allow(kStepsPerStatement + kDeleteStepsPerPage * sourcePages);
            if (const int rc = remove.step(); rc != SQLITE_DONE) {
                storeLogError("⚠️ Failed to delete message " + std::to_string(id) + ": " + copy.errorMessage());
                throw SqliteError(rc, copy.errorMessage());
            }
            ++deleted;
        }
        remove = {};
        budget.allow(kStepsPerStatement);
        copy.exec("COMMIT");
    } catch (const platform::CostlyCallError& error) {
        storeLogError(std::string("❌ Edited copy not saved: ") + error.what());
        copy.tryExec("ROLLBACK");
        throw DatabaseError(DatabaseError::Code::queryFailed,
                            "The edited copy was not saved: this database holds code that calls " + error.function() +
                                "(), which can run for hours and cannot be stopped.");
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Edited copy not saved: ") + error.what());
        copy.tryExec("ROLLBACK");
        if (budget.exceeded()) {
            throw budgetSpent("Deleting a message (a trigger of the database computes without end)",
                              "deleting a message sets off a trigger in this database that computes without end.");
        }
        throw failed(error, DatabaseError::queryFailed());
    }
    storeLogInfo("✅ Deleted " + std::to_string(deleted) + " messages");

    storeLogInfo("🧹 Vacuuming database...");
    const std::int64_t compactSteps =
        kStepsPerStatement + kCompactStepsPerPage * std::max<std::int64_t>(sourcePages, 1);
    try {
        budget.allow(compactSteps);
        auto vacuum = copy.prepare(queries::vacuum);
        if (const int rc = vacuum.step(); rc != SQLITE_DONE) {
            storeLogError("⚠️ Vacuum failed: " + copy.errorMessage());
            throw SqliteError(rc, copy.errorMessage());
        }
        storeLogInfo("✅ Database vacuumed successfully");
        // The copy counts only when SQLite finds every page and index of it sound.
        budget.allow(compactSteps);
        auto check = copy.prepare(kIntegrityCheck);
        const std::string verdict = check.next() ? check.columnText(0).value_or("") : copy.errorMessage();
        if (verdict != "ok") {
            storeLogError("❌ The edited copy fails SQLite's integrity check: " + verdict);
            throw SqliteError(SQLITE_CORRUPT, verdict);
        }
    } catch (const SqliteError& error) {
        storeLogError(std::string("❌ Edited copy not saved: ") + error.what());
        if (budget.exceeded()) {
            throw budgetSpent("Compacting and checking the copy",
                              "compacting and checking it took far more work than a database of its size needs.");
        }
        throw failed(error, DatabaseError::queryFailed());
    }
}

} // namespace

EditedCopyError::EditedCopyError()
    : std::runtime_error("The edited copy must not replace the database it is made from or another Messages "
                         "database that is being read. Please choose another name or folder for the copy.") {}

EditedCopyError::EditedCopyError(const std::string& message) : std::runtime_error(message) {}

EditedCopyError EditedCopyError::liveDatabase(const fs::path& target, const fs::path& sideFile) {
    return EditedCopyError("\"" + target.filename().string() + "\" is a database in use: \"" +
                           sideFile.filename().string() +
                           "\" lies beside it. Please choose another name for the copy.");
}

bool isDefaultMessagesDatabase(const fs::path& file) {
    return sameFile(file, platform::homeDir() / "Library" / "Messages" / "chat.db");
}

void writeEditedCopy(const fs::path& source, const fs::path& target, const std::unordered_set<std::int64_t>& messageIDs,
                     const std::shared_ptr<const DatabaseSnapshot>& snapshot, const EditedCopyStop& stop) {
    storeLogInfo("💾 Saving edited database copy");
    storeLogInfo("   From: " + source.string());
    storeLogInfo("   To: " + target.string());
    storeLogInfo("   Deleting " + std::to_string(messageIDs.size()) + " messages");

    std::error_code sourceError;
    if (!fs::is_regular_file(source, sourceError)) {
        storeLogError("❌ The database to copy is no longer at " + source.string());
        throw DatabaseError::sourceMissing();
    }
    if (targetTouchesSource(source, target) || isDefaultMessagesDatabase(target)) {
        storeLogError("❌ Refusing to write the edited copy over a database being read: " + target.string());
        throw EditedCopyError();
    }
    // A database beside its -wal, -shm or -journal belongs to a program, and those files to the database.
    if (const auto side = liveSideFile(target)) {
        storeLogError("❌ Refusing to replace a database in use: " + side->string());
        throw EditedCopyError::liveDatabase(target, *side);
    }
    std::error_code targetError;
    if (fs::is_directory(fs::symlink_status(target, targetError))) {
        throw cannotWrite(target, EISDIR);
    }
    // Held until the copy is made; a fresh snapshot is removed again right after.
    std::shared_ptr<const DatabaseSnapshot> readFrom;
    if (snapshot && snapshot->isOf(source)) {
        readFrom = snapshot;
    } else if (!isWorkingCopyLocation(resolveDatabaseFolder(source))) {
        readFrom = DatabaseSnapshot::take(source, {}, stop);
    }
    const PartialFileNote partial = createTemporaryBeside(target);
    const fs::path& temporary = partial.file();
    try {
        const auto pages =
            copyWithBackupApi(readFrom ? readFrom->file() : resolveDatabaseFolder(source), temporary, target, stop);
        storeLogInfo("✅ Database copied");
        readFrom.reset();
        editCopy(temporary, target, messageIDs, pages, stop);
        flushToDisk(temporary, target);
        // Only now does the target change: an existing one is replaced whole, or left exactly as it was.
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            throw cannotWrite(target, errno);
        }
    } catch (...) {
        removeTemporary(temporary);
        throw;
    }
    flushFolder(target);
    storeLogInfo("✅ Edited copy saved successfully");
}

} // namespace quillobrandt
