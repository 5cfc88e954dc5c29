#include "tests/support/MessagesDatabaseBuilder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/core/Sqlite.h"
#include "tests/support/TestEnvironment.h"

using platform::SqliteDatabase;

namespace {

std::vector<std::string> column(const SqliteDatabase& db, const std::string& sql) {
    std::vector<std::string> values;
    auto statement = db.prepare(sql);
    while (statement.next()) {
        values.push_back(statement.columnText(0).value_or("<NULL>"));
    }
    return values;
}

// name -> the table's columns as "name type notnull default pk", and every index and trigger name.
std::map<std::string, std::vector<std::string>> describeSchema(const SqliteDatabase& db) {
    std::map<std::string, std::vector<std::string>> schema;
    for (const auto& table : column(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                                        "'sqlite_%'")) {
        auto info = db.prepare("SELECT name || ' ' || type || ' ' || \"notnull\" || ' ' || ifnull(dflt_value, '-') "
                               "|| ' ' || pk FROM pragma_table_info(?)");
        info.bindText(1, table);
        while (info.next()) {
            schema["table " + table].push_back(*info.columnText(0));
        }
    }
    schema["indexes"] =
        column(db, "SELECT name || ' ON ' || tbl_name FROM sqlite_master WHERE type = 'index' ORDER BY 1");
    schema["triggers"] = column(db, "SELECT name || ' ON ' || tbl_name FROM sqlite_master WHERE type = 'trigger' "
                                    "ORDER BY 1");
    return schema;
}

} // namespace

TEST(MessagesDatabaseBuilder, WritesTheSchemaOfARealPhoneDatabase) {
    const auto real = qbtest::copySharedTestData("ios-sms.db");
    const auto file = qbtest::IsolatedHome::root() / "built.db";
    {
        qbtest::MessagesDatabaseBuilder builder(file);
        const auto chat = builder.addOneToOneChat("+15551234567");
        const auto message = builder.addMessageToChat(
            chat.chatId,
            {.text = "Hello", .date = qbtest::storedNanoseconds(600'000'000.0), .handleId = chat.handleId});
        builder.addMessageAttachment(message, builder.addAttachment({.filename = "~/Library/SMS/Attachments/a.jpg"}));
        builder.finish();
    }
    const auto realDb = SqliteDatabase::open(real, SQLITE_OPEN_READONLY);
    const auto builtDb = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    EXPECT_EQ(describeSchema(builtDb), describeSchema(realDb));
    EXPECT_EQ(column(builtDb, "PRAGMA journal_mode"), std::vector<std::string>{"delete"});

    // The real triggers ran: the attachment join marked its message.
    EXPECT_EQ(column(builtDb, "SELECT cache_has_attachments FROM message"), std::vector<std::string>{"1"});
    EXPECT_EQ(column(builtDb, "SELECT message.text FROM message JOIN chat_message_join ON message.ROWID = "
                              "chat_message_join.message_id JOIN chat_handle_join USING (chat_id) JOIN handle ON "
                              "handle.ROWID = chat_handle_join.handle_id WHERE handle.id = '+15551234567'"),
              std::vector<std::string>{"Hello"});
}

TEST(MessagesDatabaseBuilder, LeavesTheNewestRowsOnlyInTheWriteAheadLog) {
    const auto file = qbtest::IsolatedHome::root() / "wal.db";
    qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::wal);
    const auto chat = builder.addOneToOneChat("a@example.com");
    builder.addMessageToChat(chat.chatId, {.text = "old", .date = 1, .handleId = chat.handleId});
    builder.checkpoint();
    builder.addMessageToChat(chat.chatId, {.text = "new", .date = 2, .isFromMe = 1});
    builder.finishLeavingWal();
    ASSERT_TRUE(std::filesystem::exists(file.string() + "-wal"));

    const auto mainOnly = qbtest::IsolatedHome::root() / "main-only.db";
    std::filesystem::copy_file(file, mainOnly);
    EXPECT_EQ(column(SqliteDatabase::open(mainOnly, SQLITE_OPEN_READONLY), "SELECT text FROM message ORDER BY date"),
              std::vector<std::string>{"old"});
    EXPECT_EQ(column(SqliteDatabase::open(file, SQLITE_OPEN_READONLY), "SELECT text FROM message ORDER BY date"),
              (std::vector<std::string>{"old", "new"}));
}

TEST(MessagesDatabaseBuilder, BulkBuildKeepsChatsMessagesAndAttachmentsConsistent) {
    const auto file = qbtest::IsolatedHome::root() / "bulk.db";
    qbtest::buildBulkMessagesDatabase(file,
                                      {.chats = 3, .messagesPerChat = 20, .encodeBody = [](std::string_view text) {
                                           return std::vector<std::uint8_t>(text.begin(), text.end());
                                       }});
    const auto db = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM chat_message_join GROUP BY chat_id"),
              (std::vector<std::string>{"20", "20", "20"}));
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM message WHERE text IS NULL AND attributedBody IS NOT NULL"),
              std::vector<std::string>{"30"});
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM message_attachment_join JOIN message ON message.ROWID = message_id "
                         "WHERE cache_has_attachments = 1"),
              std::vector<std::string>{"6"});
    EXPECT_EQ(column(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger'"), std::vector<std::string>{"14"});
}
