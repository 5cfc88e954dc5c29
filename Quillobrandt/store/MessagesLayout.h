#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Sqlite.h"

namespace quillobrandt {

// The statements of one load, made for the file's own layout.
struct MessagesStatements {
    std::string chatCount;
    std::string chats;
    std::string participants;
    std::string messageCount;
    std::string messages;
    std::string attachments;
};

// What a Messages database holds of what the reader reads: the columns of each of its tables, learnt from SQLite
// (pragma table_xinfo), and the reader's statements made from them. The Messages schema gained columns release by
// release (reactions with iOS 10 and macOS 10.12, for one); a column the reader can do without that a file lacks
// is read as NULL ("NULL AS associated_message_type"), so that an older or newer file loads everything it holds.
// For a file that has every column the statements are the designed ones (MessagesQueries.h), byte for byte.
class MessagesLayout {
public:
    // Throws DatabaseError: notMessagesDatabase when the file has none of the Messages tables, unreadableLayout
    // naming the first table or column without which nothing can be shown, and what SQLite says of a file it
    // cannot read (stopped, damaged, ...).
    static MessagesLayout learn(const platform::SqliteDatabase& db);

    const MessagesStatements& statements() const { return statements_; }
    // "table.column" of each column the reader would read that this file lacks (read as NULL), for the log.
    const std::vector<std::string>& columnsReadAsNull() const { return readAsNull_; }

private:
    MessagesLayout() = default;
    bool has(std::string_view table, std::string_view column) const;
    // "table.column", or "NULL AS column" when the file lacks it.
    std::string column(std::string_view table, std::string_view column);
    void buildStatements();

    std::map<std::string, std::set<std::string>, std::less<>> columns_; // lower-cased names
    MessagesStatements statements_;
    std::vector<std::string> readAsNull_;
};

} // namespace quillobrandt
