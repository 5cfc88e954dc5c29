#include "Quillobrandt/store/LoadSteps.h"

#include <utility>

#include "Quillobrandt/store/DatabaseError.h"
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
                std::int64_t chatId, std::string& pending) {
    const int rc = statement.step();
    if (rc == SQLITE_ROW) {
        return RowStep::row;
    }
    if (rc == SQLITE_DONE) {
        return RowStep::done;
    }
    platform::consoleText(std::exchange(pending, {}));
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

} // namespace quillobrandt::load
