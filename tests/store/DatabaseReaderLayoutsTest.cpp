// Every layout of the Messages database, from iOS 6 to today's macOS, loads everything it holds.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/MessagesLayout.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "platform/core/Sqlite.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesLayoutSamples.h"

namespace fs = std::filesystem;
using qbtest::SchemaLayout;
namespace queries = quillobrandt::queries;

namespace {

struct Counted {
    std::int64_t conversations = 0;
    std::int64_t messages = 0;
};

// SQLite's own answer: the chats that chat_message_join reaches and that someone takes part in, and their messages.
Counted countedBySqlite(const fs::path& file) {
    auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto count = db.prepare("SELECT COUNT(DISTINCT j.chat_id), COUNT(*) FROM chat_message_join j "
                            "JOIN message m ON m.ROWID = j.message_id JOIN chat c ON c.ROWID = j.chat_id "
                            "WHERE EXISTS (SELECT 1 FROM chat_handle_join p JOIN handle h ON h.ROWID = p.handle_id "
                            "WHERE p.chat_id = j.chat_id)");
    count.next();
    return {count.columnInt64(0), count.columnInt64(1)};
}

// Where the attachment lies beside the database: in a copied Messages folder for a Mac, in a backup's extraction
// folder for an iPhone.
fs::path placeAttachment(const fs::path& folder, const std::string& storedName) {
    const auto below = storedName.find("Library/");
    const auto relative = storedName.substr(below);
    const bool mac = relative.starts_with("Library/Messages/");
    const auto file = folder / (mac ? relative.substr(std::string("Library/Messages/").size()) : relative);
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "jpeg";
    return file;
}

class EveryLayout : public ::testing::TestWithParam<SchemaLayout> {};

} // namespace

TEST_P(EveryLayout, LoadsEveryConversationAndMessageThatSqliteCounts) {
    const auto layout = GetParam();
    const auto folder = storetest::userFolder() / qbtest::schemaLayoutName(layout);
    fs::create_directories(folder);
    const bool iPhone = layout == SchemaLayout::iPhoneIos6 || layout == SchemaLayout::iPhoneIos13;
    const auto file = folder / (iPhone ? "sms.db" : "chat.db");
    const auto sample = qbtest::buildLayoutSample(file, layout);
    const auto attachment = placeAttachment(folder, sample.attachmentName);

    const auto counted = countedBySqlite(file);
    const auto conversations = storetest::load(file);
    std::int64_t messages = 0;
    for (const auto& conversation : conversations) {
        messages += conversation.messageCount;
    }
    std::cout << "[ layout   ] " << qbtest::schemaLayoutName(layout) << ": " << conversations.size() << " of "
              << counted.conversations << " conversations, " << messages << " of " << counted.messages << " messages\n";
    EXPECT_EQ(static_cast<std::int64_t>(conversations.size()), counted.conversations);
    EXPECT_EQ(messages, counted.messages);
    EXPECT_EQ(counted.conversations, 2);

    const auto* alice = storetest::findById(conversations, "1");
    ASSERT_NE(alice, nullptr);
    const auto& first = alice->messages.front();
    EXPECT_EQ(first.text, sample.firstText);
    EXPECT_DOUBLE_EQ(first.date.secondsSinceReferenceDate, sample.firstDate) << "seconds and nanoseconds alike";
    EXPECT_EQ(std::string_view(first.sender), "+15550001001");
    EXPECT_TRUE(alice->messages[1].isFromMe);
    ASSERT_EQ(alice->messages[2].attachments.size(), 1u);
    EXPECT_EQ(alice->messages[2].attachments[0].filePath, attachment.string());
    EXPECT_EQ(alice->messages.back().associatedMessageType,
              sample.reactions ? std::optional<std::int64_t>(2000) : std::nullopt);

    // The designed statements, byte for byte, where the file has every column; NULL for what it lacks.
    auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    const auto learnt = quillobrandt::MessagesLayout::learn(db);
    const auto& statements = learnt.statements();
    if (sample.reactions) {
        EXPECT_TRUE(learnt.columnsReadAsNull().empty());
        EXPECT_EQ(statements.chatCount, queries::chatCount);
        EXPECT_EQ(statements.chats, queries::chats);
        EXPECT_EQ(statements.participants, queries::participants);
        EXPECT_EQ(statements.messageCount, queries::messageCount);
        EXPECT_EQ(statements.messages, queries::messages);
        EXPECT_EQ(statements.attachments, queries::attachments);
    } else {
        EXPECT_EQ(learnt.columnsReadAsNull(),
                  (std::vector<std::string>{"message.associated_message_guid", "message.associated_message_type"}));
        EXPECT_NE(statements.messages.find("    NULL AS associated_message_type,\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(DatabaseReaderLayouts, EveryLayout, ::testing::ValuesIn(qbtest::kAllSchemaLayouts),
                         [](const auto& info) { return std::string(qbtest::schemaLayoutName(info.param)); });

// A file rebuilt by another tool: the message columns in another order and case, names with spaces and quotes beside
// them, and columns SQLite computes (generated), which a plain column list leaves out.
TEST(DatabaseReaderLayouts, ColumnsAreFoundByNameWhateverTheirOrderCaseOrKind) {
    const auto folder = storetest::userFolder() / "rebuilt";
    fs::create_directories(folder);
    const auto file = folder / "chat.db";
    const auto sample = qbtest::buildLayoutSample(file, SchemaLayout::macHighSierra);
    const auto before = quillobrandt::DatabaseManager().openDatabase(file);
    platform::SqliteDatabase::open(file, SQLITE_OPEN_READWRITE)
        .exec("PRAGMA legacy_alter_table=ON; ALTER TABLE message RENAME TO message_rows;"
              "CREATE TABLE message (\"note to self\" TEXT, \"it's \"\"odd\"\"\" TEXT, DATE INTEGER,"
              " Is_From_Me INTEGER, HANDLE_ID INTEGER, body TEXT, TEXT TEXT GENERATED ALWAYS AS (body) VIRTUAL,"
              " ATTRIBUTEDBODY BLOB, kind INTEGER,"
              " associated_message_type INTEGER GENERATED ALWAYS AS (kind) STORED, Associated_Message_Guid TEXT,"
              " rowid INTEGER PRIMARY KEY);"
              // Bodies left out: each text is the generated column's.
              "INSERT INTO message (rowid, body, DATE, Is_From_Me, HANDLE_ID, kind, Associated_Message_Guid)"
              " SELECT ROWID, text, date, is_from_me, handle_id, associated_message_type, associated_message_guid"
              " FROM message_rows;"
              "DROP TABLE message_rows");

    const auto conversations = storetest::load(file);
    ASSERT_EQ(conversations.size(), before.size());
    const auto* alice = storetest::findById(conversations, "1");
    ASSERT_NE(alice, nullptr);
    EXPECT_EQ(alice->messages.front().text, sample.firstText);
    EXPECT_EQ(alice->messages.back().associatedMessageType, 2000);
    auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    EXPECT_TRUE(quillobrandt::MessagesLayout::learn(db).columnsReadAsNull().empty());
}

// An iPhone's sms.db of iOS 5 and earlier keeps its conversations in tables no later release has: the user is told
// which kind of file it is, not only which table it lacks.
TEST(DatabaseReaderLayouts, AnIphoneDatabaseOfIos5OrEarlierIsRefusedByName) {
    const auto folder = storetest::userFolder() / "ios5";
    fs::create_directories(folder);
    const auto file = folder / "sms.db";
    qbtest::buildIos5Sample(file);
    try {
        storetest::load(file);
        ADD_FAILURE() << "loaded " << file;
    } catch (const quillobrandt::DatabaseError& error) {
        EXPECT_EQ(error.code(), quillobrandt::DatabaseError::Code::unreadableLayout);
        EXPECT_STREQ(error.description(),
                     "This Messages database has a layout this program cannot read: it is an iPhone's message "
                     "database of iOS 5 or earlier, which keeps its conversations in the table msg_group.");
    }
}
