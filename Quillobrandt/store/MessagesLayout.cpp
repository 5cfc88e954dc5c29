#include "Quillobrandt/store/MessagesLayout.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/LoadSteps.h"
#include "Quillobrandt/store/StoreLog.h"

using platform::SqliteError;

namespace quillobrandt {
namespace {

// The tables the reader needs. A missing one makes the file something other than a Messages database; an
// empty one is just an empty history.
constexpr std::array<std::string_view, 7> kMessagesTables{
    "chat", "chat_handle_join", "handle", "chat_message_join", "message", "message_attachment_join", "attachment"};

} // namespace

void requireMessagesTables(const platform::SqliteDatabase& db) {
    std::vector<std::string> missing;
    try {
        auto present = db.prepare("SELECT 1 FROM sqlite_schema WHERE type IN ('table', 'view') AND name = ? "
                                  "COLLATE NOCASE");
        for (const auto table : kMessagesTables) {
            present.reset();
            present.bindText(1, table);
            if (!present.next()) {
                missing.emplace_back(table);
            }
        }
    } catch (const SqliteError& error) {
        storeLogError(
            load::withCode(std::string("❌ Failed to read the database's tables: ") + error.what(), error.code()));
        throw DatabaseError::fromSqlite(error.code(), DatabaseError::cannotOpenDatabase());
    }
    if (!missing.empty()) {
        std::string names;
        for (const auto& table : missing) {
            names += (names.empty() ? "" : ", ") + table;
        }
        storeLogError("❌ Not a Messages database: no " + names + " table");
        throw DatabaseError::notMessagesDatabase();
    }
}

} // namespace quillobrandt
