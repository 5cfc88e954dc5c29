// A real iPhone Messages database (see ../shared/testdata/README.md): 7 chats, 105 messages, 7 attachments.
#include "Quillobrandt/store/DatabaseManager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using quillobrandt::DatabaseManager;

namespace {

struct StoredMessage {
    std::optional<std::string> text;
    std::int64_t date = 0;
    std::int64_t isFromMe = 0;
    std::optional<std::string> handle;
};

// The rows as stored, read independently of the reader.
std::map<std::int64_t, StoredMessage> storedMessages(const fs::path& file) {
    auto db = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto rows = db.prepare("SELECT m.ROWID, m.text, m.date, m.is_from_me, h.id FROM message m "
                           "LEFT JOIN handle h ON h.ROWID = m.handle_id");
    std::map<std::int64_t, StoredMessage> result;
    while (rows.next()) {
        result[rows.columnInt64(0)] = {rows.columnText(1), rows.columnInt64(2), rows.columnInt64(3),
                                       rows.columnText(4)};
    }
    return result;
}

std::int64_t countOf(const fs::path& file, const std::string& sql) {
    auto db = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto statement = db.prepare(sql);
    return statement.next() ? statement.columnInt64(0) : -1;
}

std::size_t messagesIn(const std::vector<quillobrandt::Conversation>& conversations) {
    std::size_t total = 0;
    for (const auto& conversation : conversations) {
        total += conversation.messages.size();
    }
    return total;
}

} // namespace

TEST(RealDatabase, LoadsEveryChatAndMessageAsStored) {
    const auto file = qbtest::copySharedTestData("ios-sms.db");
    const auto stored = storedMessages(file);
    const auto before = storetest::fileBytes(file);
    // One attachment is present next to the copy, laid out as in a backup's extraction folder.
    const auto heic =
        file.parent_path() / "Library/SMS/Attachments/9e/14/3F582393-07A0-4DB2-9211-D0A9470D1079/IMG_0066.HEIC";
    fs::create_directories(heic.parent_path());
    std::ofstream(heic) << "heic";

    const auto conversations = storetest::load(file);
    EXPECT_EQ(storetest::fileBytes(file), before);
    ASSERT_EQ(conversations.size(), 7u);
    EXPECT_EQ(messagesIn(conversations), 105u);

    std::set<std::string> ids;
    std::size_t attachments = 0;
    for (const auto& conversation : conversations) {
        ids.insert(conversation.id);
        ASSERT_EQ(conversation.participants.size(), 1u);
        EXPECT_EQ(conversation.messageCount, static_cast<std::int64_t>(conversation.messages.size()));
        for (std::size_t i = 0; i < conversation.messages.size(); ++i) {
            const auto& message = conversation.messages[i];
            const auto& row = stored.at(message.id);
            EXPECT_EQ(message.text, row.text) << message.id;
            EXPECT_NEAR(message.date.secondsSinceReferenceDate, static_cast<double>(row.date) / 1e9, 1e-6);
            EXPECT_EQ(message.isFromMe, row.isFromMe == 1);
            EXPECT_EQ(message.sender, row.handle.value_or(message.isFromMe ? "Me" : "Unknown"));
            if (i > 0) {
                EXPECT_LE(conversation.messages[i - 1].date, message.date);
            }
            for (const auto& attachment : message.attachments) {
                ++attachments;
                EXPECT_TRUE(attachment.isImage());
                if (attachment.id == 3) {
                    EXPECT_EQ(attachment.filePath, heic.string());
                    EXPECT_EQ(attachment.filename, "IMG_0066.HEIC");
                } else {
                    EXPECT_EQ(attachment.filePath.rfind((platform::homeDir() / "Library/SMS/Attachments/").string(), 0),
                              0u)
                        << attachment.filePath;
                }
            }
        }
    }
    EXPECT_EQ(ids, (std::set<std::string>{"6", "10", "11", "17", "24", "28", "45"}));
    EXPECT_EQ(attachments, 7u);
}

TEST(RealDatabase, AnEditedCopyWithoutThreeMessages) {
    const auto file = qbtest::copySharedTestData("ios-sms.db");
    const auto before = storetest::fileBytes(file);
    const auto target = file.parent_path() / "edited.db";

    DatabaseManager::saveEditedCopy(file, target, {34, 12, 28});

    EXPECT_EQ(storetest::fileBytes(file), before);
    EXPECT_EQ(countOf(file, "SELECT COUNT(*) FROM message"), 105);
    EXPECT_EQ(countOf(target, "SELECT COUNT(*) FROM message"), 102);
    EXPECT_EQ(countOf(target, "SELECT COUNT(*) FROM message WHERE ROWID IN (34, 12, 28)"), 0);
    // The device's triggers ran in the copy: deletions recorded, the deleted message's two photos gone.
    EXPECT_EQ(countOf(target, "SELECT COUNT(*) FROM deleted_messages"), 3);
    EXPECT_EQ(countOf(target, "SELECT COUNT(*) FROM attachment"), 5);
    EXPECT_EQ(countOf(target, "SELECT COUNT(*) FROM chat_message_join"), 102);
    EXPECT_EQ(countOf(target, "SELECT COUNT(*) FROM pragma_foreign_key_check"), 0);
    {
        auto db = SqliteDatabase::open(target, SQLITE_OPEN_READONLY);
        auto check = db.prepare("PRAGMA integrity_check");
        ASSERT_TRUE(check.next());
        EXPECT_EQ(check.columnText(0), "ok");
    }

    const auto conversations = storetest::load(target);
    EXPECT_EQ(conversations.size(), 7u);
    EXPECT_EQ(messagesIn(conversations), 102u);
}
