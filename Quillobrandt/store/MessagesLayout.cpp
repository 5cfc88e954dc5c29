#include "Quillobrandt/store/MessagesLayout.h"

#include <array>
#include <optional>

#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/LoadSteps.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "Quillobrandt/store/StoreLog.h"

using platform::SqliteError;

namespace quillobrandt {
namespace {

// The tables the reader reads. A file with none of them is some other program's database; one with only some of
// them is a Messages database of a layout the reader cannot make sense of (the Messages app before iOS 6 kept
// its chats in other tables).
constexpr std::array<std::string_view, 7> kMessagesTables{
    "chat", "chat_handle_join", "handle", "chat_message_join", "message", "message_attachment_join", "attachment"};

// The columns without which nothing can be shown: the keys that join the tables, who took part, when each
// message was sent. (A message's text may come from either of two columns; see learn.)
struct RequiredColumn {
    std::string_view table;
    std::string_view column;
};
constexpr std::array<RequiredColumn, 12> kRequiredColumns{{
    {"chat", "rowid"},
    {"handle", "rowid"},
    {"handle", "id"},
    {"chat_handle_join", "chat_id"},
    {"chat_handle_join", "handle_id"},
    {"chat_message_join", "chat_id"},
    {"chat_message_join", "message_id"},
    {"message", "rowid"},
    {"message", "date"},
    {"message_attachment_join", "message_id"},
    {"message_attachment_join", "attachment_id"},
    {"attachment", "rowid"},
}};

std::string lowered(std::string_view text) {
    std::string result(text);
    for (auto& c : result) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result;
}

// The table's columns, lower-cased; empty when there is no such table or view. A table has its row id unless it
// was made WITHOUT ROWID; a view only when it names a column so. table_xinfo, for table_info leaves out the columns
// SQLite computes (generated), which a statement reads like any other.
std::set<std::string> columnsOf(const platform::SqliteDatabase& db, std::string_view table) {
    std::set<std::string> columns;
    auto info = db.prepare("SELECT name FROM pragma_table_xinfo(?)");
    info.bindText(1, table);
    while (info.next()) {
        columns.insert(lowered(info.columnTextView(0).value_or("")));
    }
    if (columns.empty() || columns.count("rowid") != 0) {
        return columns;
    }
    auto rowTable = db.prepare("SELECT type = 'table' AND wr = 0 FROM pragma_table_list WHERE name = ? "
                               "COLLATE NOCASE AND schema = 'main'");
    rowTable.bindText(1, table);
    if (rowTable.next() && rowTable.columnInt64(0) == 1) {
        columns.insert("rowid");
    }
    return columns;
}

// An iPhone's sms.db of iOS 5 and earlier: a message table of its own kind, the conversations in msg_group. Told
// apart so that the user learns which file it is, not only which table it lacks.
bool keepsChatsInMessageGroups(const platform::SqliteDatabase& db) {
    try {
        return !columnsOf(db, "msg_group").empty();
    } catch (const SqliteError&) {
        return false; // a msg_group SQLite cannot read says nothing of the layout: the missing table is told
    }
}

[[noreturn]] void refuseLayout(const std::string& what) {
    storeLogError("❌ Unreadable Messages layout: " + what);
    throw DatabaseError::unreadableLayout(what);
}

} // namespace

MessagesLayout MessagesLayout::learn(const platform::SqliteDatabase& db) {
    MessagesLayout layout;
    std::optional<std::string_view> missingTable;
    for (const auto table : kMessagesTables) {
        std::set<std::string> columns;
        try {
            columns = columnsOf(db, table);
        } catch (const SqliteError& error) {
            storeLogError(load::withCode("❌ Failed to read the columns of " + std::string(table) + ": " + error.what(),
                                         error.code()));
            // SQLite's plain error here is a table or view it cannot make sense of (a view of a missing table, of
            // an unknown function); anything else says the file itself cannot be read.
            const auto fallback = (error.code() & 0xFF) == SQLITE_ERROR
                                      ? DatabaseError::unreadableLayout("the table " + std::string(table) +
                                                                        " cannot be read (" + error.what() + ")")
                                      : DatabaseError::cannotOpenDatabase();
            throw DatabaseError::fromSqlite(error.code(), fallback);
        }
        if (columns.empty()) {
            missingTable = missingTable.value_or(table);
            continue;
        }
        layout.columns_.emplace(std::string(table), std::move(columns));
    }
    if (layout.columns_.empty()) {
        storeLogError("❌ Not a Messages database: none of its tables");
        throw DatabaseError::notMessagesDatabase();
    }
    if (missingTable == "chat" && keepsChatsInMessageGroups(db)) {
        refuseLayout("it is an iPhone's message database of iOS 5 or earlier, which keeps its conversations in the "
                     "table msg_group");
    }
    if (missingTable) {
        refuseLayout("it has no table " + std::string(*missingTable));
    }
    for (const auto& [table, column] : kRequiredColumns) {
        if (!layout.has(table, column)) {
            refuseLayout("the table " + std::string(table) + " has no column " +
                         std::string(column == "rowid" ? "ROWID" : column));
        }
    }
    if (!layout.has("message", "text") && !layout.has("message", "attributedbody")) {
        refuseLayout("the table message has no column text nor attributedBody");
    }
    layout.buildStatements();
    if (!layout.readAsNull_.empty()) {
        std::string names;
        for (const auto& name : layout.readAsNull_) {
            names += (names.empty() ? "" : ", ") + name;
        }
        storeLogInfo("   Older or newer layout: read as empty, for this file has no such column: " + names);
    }
    return layout;
}

bool MessagesLayout::has(std::string_view table, std::string_view column) const {
    const auto found = columns_.find(table);
    return found != columns_.end() && found->second.count(lowered(column)) != 0;
}

std::string MessagesLayout::column(std::string_view table, std::string_view name) {
    if (has(table, name)) {
        return std::string(table) + "." + std::string(name);
    }
    readAsNull_.push_back(std::string(table) + "." + std::string(name));
    return "NULL AS " + std::string(name);
}

void MessagesLayout::buildStatements() {
    // Each column is looked up in its own statement: the order of the log's list is the statements' own.
    const auto chatIdentifier = column("chat", "chat_identifier");
    const auto style = column("chat", "style");
    const auto displayName = column("chat", "display_name");
    statements_.chatCount = queries::chatCount;
    statements_.chats = "SELECT chat.ROWID, " + chatIdentifier + ", " + style + ", " + displayName +
                        "\nFROM chat\nORDER BY chat.ROWID DESC";
    statements_.participants = queries::participants;
    statements_.messageCount = queries::messageCount;

    const auto text = column("message", "text");
    const auto isFromMe = column("message", "is_from_me");
    const auto handleId = column("message", "handle_id");
    const auto associatedGuid = column("message", "associated_message_guid");
    const auto associatedType = column("message", "associated_message_type");
    const auto body = column("message", "attributedBody");
    // Without message.handle_id no sender can be joined: each message is then the user's own or "Unknown".
    const bool senders = has("message", "handle_id");
    statements_.messages = "SELECT\n    message.ROWID,\n    " + text + ",\n    message.date,\n    " + isFromMe +
                           ",\n    " + handleId + ",\n    " + associatedGuid + ",\n    " + associatedType + ",\n    " +
                           (senders ? "handle.id as sender_id" : "NULL AS sender_id") + ",\n    " + body +
                           "\nFROM message\nJOIN chat_message_join ON message.ROWID = chat_message_join.message_id\n" +
                           (senders ? "LEFT JOIN handle ON message.handle_id = handle.ROWID\n" : "") +
                           "WHERE chat_message_join.chat_id = ?\nORDER BY message.date ASC";

    const auto filename = column("attachment", "filename");
    const auto mimeType = column("attachment", "mime_type");
    statements_.attachments =
        "SELECT\n    message_attachment_join.message_id,\n    attachment.ROWID,\n    " + filename + ",\n    " +
        mimeType +
        "\nFROM attachment\n"
        "JOIN message_attachment_join ON attachment.ROWID = message_attachment_join.attachment_id\n"
        "JOIN chat_message_join ON message_attachment_join.message_id = "
        "chat_message_join.message_id\n"
        "WHERE chat_message_join.chat_id = ?\n"
        "ORDER BY message_attachment_join.message_id";
}

} // namespace quillobrandt
