#include "Quillobrandt/store/LoadSteps.h"

#include <filesystem>
#include <utility>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/FreeSpace.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"

using platform::SqliteError;
using platform::SqliteStatement;

namespace quillobrandt::load {

void report(const DatabaseProgress& progress, const std::string& message, double fraction) {
    if (progress) {
        progress(message, fraction, std::nullopt, std::nullopt);
    }
}

std::string withCode(const std::string& message, int code) {
    return message + " (code: " + std::to_string(code) + ")";
}

bool endsTheLoad(int code) {
    switch (code & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_INTERRUPT:
    case SQLITE_NOMEM:
        return true;
    default:
        return false;
    }
}

RowStep stepRow(SqliteStatement& statement, const platform::SqliteDatabase& db, std::string_view what,
                std::int64_t chatId, const std::function<void()>& writePending) {
    const int rc = statement.step();
    if (rc == SQLITE_ROW) {
        return RowStep::row;
    }
    if (rc == SQLITE_DONE) {
        return RowStep::done;
    }
    writePending();
    std::string rows(what);
    if (chatId >= 0) {
        rows += ' ';
        rows += std::to_string(chatId);
    }
    storeLogError(withCode("❌ Failed to read " + rows + ": " + db.errorMessage(), rc));
    return RowStep::failed;
}

std::int64_t countRows(const platform::SqliteDatabase& db, std::string_view sql, const std::string& failureLine) {
    try {
        auto statement = db.prepare(sql);
        const int rc = statement.step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            throw SqliteError(rc, db.errorMessage());
        }
        return rc == SQLITE_ROW ? statement.columnInt64(0) : 0;
    } catch (const SqliteError& error) {
        storeLogError(withCode(failureLine + error.what(), error.code()));
        if (endsTheLoad(error.code())) {
            throw DatabaseError::fromSqlite(error.code(), DatabaseError::queryFailed());
        }
        return 0;
    }
}

DatabaseError temporaryFolderFull(const platform::SqliteDatabase& db) {
    // SQLite names the temporary file it would make next: its folder is where the sorter's files go (SQLITE_TMPDIR,
    // else TMPDIR, else /var/tmp or /tmp).
    std::filesystem::path folder;
    if (char* name = nullptr;
        sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_TEMPFILENAME, &name) == SQLITE_OK && name != nullptr) {
        folder = std::filesystem::path(name).parent_path();
        sqlite3_free(name);
    }
    sqlite3_int64 size = 0;
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr || file->pMethods->xFileSize(file, &size) != SQLITE_OK) {
        size = 0;
    }
    storeLogError("❌ No room for SQLite's temporary files in " +
                  (folder.empty() ? std::string("the temporary folder") : folder.string()));
    const std::string purpose = "to sort the messages of a large conversation";
    const std::string advice =
        " Free some space there, or start the program with TMPDIR set to a folder with more room.";
    if (folder.empty()) {
        return DatabaseError::notEnoughSpace("There is not enough free space in the temporary folder " + purpose + "." +
                                             advice);
    }
    // The sort needs at most about as much as the database holds.
    return DatabaseError::notEnoughSpace(
        notEnoughSpaceText(folder, static_cast<std::uintmax_t>(size), "(the temporary folder) " + purpose) + advice);
}

} // namespace quillobrandt::load
