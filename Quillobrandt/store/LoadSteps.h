#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/Sqlite.h"

// What every stage of a load shares: how a failed read is told apart from one that ends the load, how rows are
// stepped and counted, how progress is reported.
namespace quillobrandt::load {

void report(const DatabaseProgress& progress, const std::string& message, double fraction);

// "<message> (code: N)", the form of every log line that carries SQLite's result code.
std::string withCode(const std::string& message, int code);

// Failures that mean the file itself cannot be read (damaged, not a database, the disk failing) or that the
// load was stopped: no chat after them could be trusted, so the load ends instead of skipping the chat.
bool endsTheLoad(int code);

enum class RowStep { row, done, failed };

// Steps once; a failed step is logged as "❌ Failed to read <what>: <SQLite message> (code: N)".
// Lines still collected go out first (`writePending`), so that the error line follows them.
// `what` and `chatId` (none when negative) name the rows in that line.
RowStep stepRow(platform::SqliteStatement& statement, const platform::SqliteDatabase& db, std::string_view what,
                std::int64_t chatId, const std::function<void()>& writePending);

// The first integer of a one-row count statement; 0 when it cannot be prepared or gives no row. A file that
// cannot be read ends the load.
std::int64_t countRows(const platform::SqliteDatabase& db, std::string_view sql, const std::string& failureLine);

// The error for a read that SQLite ended as "full": a read-only connection writes only its temporary files (the sorter
// of a large conversation), so the folder they go to is full. The text names that folder and the room the read may
// need (at most about the size of the database being read).
DatabaseError temporaryFolderFull(const platform::SqliteDatabase& db);

} // namespace quillobrandt::load
