#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Sqlite.h"
#include "tests/support/MessagesSchema.h"

namespace qbtest {

enum class JournalMode { rollback, wal };

// message.date as an iPhone or a recent Mac stores it: nanoseconds since 2001-01-01 UTC.
std::int64_t storedNanoseconds(double secondsSince2001);
// message.date as older Macs store it: whole seconds since 2001-01-01 UTC.
std::int64_t storedSeconds(double secondsSince2001);

// One row of `chat`. A missing guid is made from service and identifier (unique per builder).
struct ChatRow {
    std::optional<std::int64_t> rowId{};
    std::optional<std::string> chatIdentifier{};
    std::string service = "iMessage";
    std::optional<std::string> displayName{};
    int style = 45; // 45 one-to-one, 43 group
    std::optional<std::string> guid{};
};

// One row of `message`. `date` is the raw stored value (see storedNanoseconds / storedSeconds).
struct MessageRow {
    std::optional<std::int64_t> rowId{};
    std::optional<std::string> text{};
    std::optional<std::vector<std::uint8_t>> attributedBody{};
    std::int64_t date = 0;
    std::int64_t isFromMe = 0;
    std::int64_t handleId = 0; // 0: no handle (the user's own message, or an unknown sender)
    std::optional<std::string> associatedMessageGuid{};
    std::optional<std::int64_t> associatedMessageType = 0; // nullopt stores NULL
    std::optional<std::string> guid{};
    std::string service = "iMessage";
};

// One row of `attachment`.
struct AttachmentRow {
    std::optional<std::int64_t> rowId{};
    std::optional<std::string> filename{};
    std::optional<std::string> mimeType{};
    std::optional<std::string> transferName{};
};

struct OneToOneChat {
    std::int64_t chatId = 0;
    std::int64_t handleId = 0;
};

// Writes a database in the real Messages schema of one release (every table, index and trigger; by default an
// iPhone's sms.db of iOS 13). All rows go into one open transaction; finish() commits and closes. Row ids are
// returned so tests can join rows and later look them up. A row sets only the columns its layout has: a value
// for a column the layout lacks (a reaction before iOS 10) is a mistake of the test (std::logic_error). Throws
// platform::SqliteError when SQLite refuses a row.
class MessagesDatabaseBuilder {
public:
    explicit MessagesDatabaseBuilder(std::filesystem::path file, JournalMode mode = JournalMode::rollback,
                                     SchemaLayout layout = SchemaLayout::iPhoneIos13);
    ~MessagesDatabaseBuilder();
    MessagesDatabaseBuilder(const MessagesDatabaseBuilder&) = delete;
    MessagesDatabaseBuilder& operator=(const MessagesDatabaseBuilder&) = delete;

    std::int64_t addHandle(const std::string& id, const std::string& service = "iMessage");
    std::int64_t addChat(const ChatRow& chat);
    void addChatHandle(std::int64_t chatId, std::int64_t handleId);
    // A chat with one member whose handle id is `handle`.
    OneToOneChat addOneToOneChat(const std::string& handle, const std::string& service = "iMessage");

    // The message row alone; most tests want addMessageToChat.
    std::int64_t addMessage(const MessageRow& message);
    void addChatMessage(std::int64_t chatId, std::int64_t messageId, std::int64_t messageDate = 0);
    std::int64_t addMessageToChat(std::int64_t chatId, const MessageRow& message);

    std::int64_t addAttachment(const AttachmentRow& attachment);
    void addMessageAttachment(std::int64_t messageId, std::int64_t attachmentId);

    // The builder's connection, for statements the helpers do not cover (dropping a table, odd values).
    const platform::SqliteDatabase& database() const { return db_; }
    const std::filesystem::path& file() const { return file_; }

    // Commits what was added so far and opens a new transaction.
    void commit();
    // WAL mode: commits and moves everything so far into the main file.
    void checkpoint();
    // Commits and closes. In WAL mode everything is checkpointed first, so the file stands alone.
    void finish();
    // WAL mode only: commits and closes without a checkpoint, so rows added after the last checkpoint()
    // exist only in "<file>-wal" (the state of a database whose owner is still running).
    void finishLeavingWal();

private:
    std::string uniqueGuid(std::string candidate);
    bool has(const char* table, const char* column) const;

    std::filesystem::path file_;
    JournalMode mode_;
    platform::SqliteDatabase db_;
    std::set<std::string, std::less<>> columns_; // "table.column" of the tables rows are added to
    std::set<std::string, std::less<>> guids_;
    std::int64_t guidCounter_ = 0;
};

// A large database for benchmarks: `chats` one-to-one chats with `messagesPerChat` messages each,
// dates in nanoseconds, every tenth message with an attachment. When `encodeBody` is given, every second
// message stores NULL text and the archived body that `encodeBody` makes of its text.
struct BulkDatabaseOptions {
    int chats = 2000;
    int messagesPerChat = 500;
    JournalMode journal = JournalMode::rollback;
    std::function<std::vector<std::uint8_t>(std::string_view text)> encodeBody{};
};
// Fast path: one transaction, prepared statements, indexes and triggers created after the rows.
void buildBulkMessagesDatabase(const std::filesystem::path& file, const BulkDatabaseOptions& options);

} // namespace qbtest
