#include "tests/support/MessagesDatabaseBuilder.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "tests/support/MessagesSchema.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using platform::SqliteStatement;

namespace qbtest {
namespace {

void bindOptionalText(SqliteStatement& statement, int index, const std::optional<std::string>& value) {
    if (value) {
        statement.bindText(index, *value);
    } else {
        statement.bindNull(index);
    }
}

void bindOptionalRowId(SqliteStatement& statement, int index, const std::optional<std::int64_t>& value) {
    if (value) {
        statement.bindInt64(index, *value);
    } else {
        statement.bindNull(index); // NULL into INTEGER PRIMARY KEY picks the next row id
    }
}

template <typename Text> void createStatements(const SqliteDatabase& db, const std::vector<Text>& statements) {
    for (const auto& statement : statements) {
        db.exec(std::string(statement));
    }
}

void addDatabaseProperties(const SqliteDatabase& db) {
    db.exec("INSERT INTO _SqliteDatabaseProperties (key, value) VALUES "
            "('counter_in_all', '0'), ('counter_out_all', '0'), ('counter_in_lifetime', '0'), "
            "('counter_out_lifetime', '0'), ('counter_last_reset', '0'), ('_ClientVersion', '12005')");
}

SqliteDatabase createDatabase(const fs::path& file, JournalMode mode) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        fs::remove(file.string() + suffix, ignored);
    }
    auto db = SqliteDatabase::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (mode == JournalMode::wal) {
        db.exec("PRAGMA journal_mode=WAL");
        // Checkpoints happen only when the builder asks, so a test can leave rows in the -wal file.
        db.exec("PRAGMA wal_autocheckpoint=0");
    } else {
        db.exec("PRAGMA journal_mode=DELETE");
    }
    return db;
}

std::string formatGuid(const char* prefix, std::int64_t number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s-%04llX-%012llX", prefix, static_cast<unsigned long long>(number >> 48),
                  static_cast<unsigned long long>(number & 0xFFFFFFFFFFFFLL));
    return buffer;
}

} // namespace

std::int64_t storedNanoseconds(double secondsSince2001) {
    return static_cast<std::int64_t>(std::llround(secondsSince2001 * 1e9));
}

std::int64_t storedSeconds(double secondsSince2001) {
    return static_cast<std::int64_t>(std::llround(secondsSince2001));
}

MessagesDatabaseBuilder::MessagesDatabaseBuilder(fs::path file, JournalMode mode, SchemaLayout layout)
    : file_(std::move(file)), mode_(mode), db_(createDatabase(file_, mode)) {
    db_.exec("BEGIN");
    const auto& schema = messagesSchema(layout);
    createStatements(db_, schema.tables);
    createStatements(db_, schema.indexes);
    createStatements(db_, schema.triggers);
    addDatabaseProperties(db_);
    for (const char* table : {"message", "attachment", "chat_message_join"}) {
        auto info = db_.prepare(std::string("SELECT name FROM pragma_table_info('") + table + "')");
        while (info.next()) {
            columns_.insert(std::string(table) + "." + info.columnText(0).value_or(""));
        }
    }
}

bool MessagesDatabaseBuilder::has(const char* table, const char* column) const {
    return columns_.count(std::string(table) + "." + column) != 0;
}

MessagesDatabaseBuilder::~MessagesDatabaseBuilder() {
    if (db_.isOpen()) {
        try {
            finish();
        } catch (...) { // a destructor must not throw; the test that forgot finish() sees the file as it is
        }
    }
}

std::string MessagesDatabaseBuilder::uniqueGuid(std::string candidate) {
    while (guids_.count(candidate) != 0) {
        candidate += '#';
        candidate += std::to_string(++guidCounter_);
    }
    guids_.insert(candidate);
    return candidate;
}

std::int64_t MessagesDatabaseBuilder::addHandle(const std::string& id, const std::string& service) {
    auto insert = db_.prepare("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?, 'us', ?, ?)");
    insert.bindText(1, id);
    insert.bindText(2, service);
    insert.bindText(3, id);
    insert.next();
    return db_.lastInsertRowId();
}

std::int64_t MessagesDatabaseBuilder::addChat(const ChatRow& chat) {
    auto insert = db_.prepare("INSERT INTO chat (ROWID, guid, style, state, account_id, chat_identifier, service_name, "
                              "display_name, is_filtered, successful_query) VALUES (?, ?, ?, 3, 'p:0', ?, ?, ?, 0, 1)");
    bindOptionalRowId(insert, 1, chat.rowId);
    insert.bindText(2,
                    chat.guid ? *chat.guid : uniqueGuid(chat.service + ";-;" + chat.chatIdentifier.value_or("chat")));
    insert.bindInt(3, chat.style);
    bindOptionalText(insert, 4, chat.chatIdentifier);
    insert.bindText(5, chat.service);
    bindOptionalText(insert, 6, chat.displayName);
    insert.next();
    return db_.lastInsertRowId();
}

void MessagesDatabaseBuilder::addChatHandle(std::int64_t chatId, std::int64_t handleId) {
    auto insert = db_.prepare("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)");
    insert.bindInt64(1, chatId);
    insert.bindInt64(2, handleId);
    insert.next();
}

OneToOneChat MessagesDatabaseBuilder::addOneToOneChat(const std::string& handle, const std::string& service) {
    OneToOneChat result;
    result.handleId = addHandle(handle, service);
    result.chatId = addChat(ChatRow{.chatIdentifier = handle, .service = service});
    addChatHandle(result.chatId, result.handleId);
    return result;
}

std::int64_t MessagesDatabaseBuilder::addMessage(const MessageRow& message) {
    // Reactions came with iOS 10 and macOS 10.12: older layouts have no column for them.
    const bool reactions = has("message", "associated_message_guid");
    if (!reactions && (message.associatedMessageGuid || message.associatedMessageType.value_or(0) != 0)) {
        throw std::logic_error("this layout has no reactions");
    }
    auto insert = db_.prepare(std::string("INSERT INTO message (ROWID, guid, text, attributedBody, date, is_from_me, "
                                          "handle_id, service, is_finished, is_read, is_sent, is_delivered, version") +
                              (reactions ? ", associated_message_guid, associated_message_type" : "") +
                              ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1, 1, ?, 1, 10" + (reactions ? ", ?, ?" : "") + ")");
    bindOptionalRowId(insert, 1, message.rowId);
    insert.bindText(2, message.guid ? *message.guid : uniqueGuid(formatGuid("5F84086D-BDB2-C71F", ++guidCounter_)));
    bindOptionalText(insert, 3, message.text);
    if (message.attributedBody) {
        insert.bindBlob(4, message.attributedBody->data(), message.attributedBody->size());
    } else {
        insert.bindNull(4);
    }
    insert.bindInt64(5, message.date);
    insert.bindInt64(6, message.isFromMe);
    insert.bindInt64(7, message.handleId);
    insert.bindText(8, message.service);
    insert.bindInt64(9, message.isFromMe == 1 ? 1 : 0);
    if (reactions) {
        bindOptionalText(insert, 10, message.associatedMessageGuid);
        if (message.associatedMessageType) {
            insert.bindInt64(11, *message.associatedMessageType);
        } else {
            insert.bindNull(11);
        }
    }
    insert.next();
    return db_.lastInsertRowId();
}

void MessagesDatabaseBuilder::addChatMessage(std::int64_t chatId, std::int64_t messageId, std::int64_t messageDate) {
    // The join table holds the message's date from iOS 11 and macOS 10.13 on.
    const bool withDate = has("chat_message_join", "message_date");
    auto insert =
        db_.prepare(withDate ? "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)"
                             : "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)");
    insert.bindInt64(1, chatId);
    insert.bindInt64(2, messageId);
    if (withDate) {
        insert.bindInt64(3, messageDate);
    }
    insert.next();
}

std::int64_t MessagesDatabaseBuilder::addMessageToChat(std::int64_t chatId, const MessageRow& message) {
    const auto messageId = addMessage(message);
    addChatMessage(chatId, messageId, message.date);
    return messageId;
}

std::int64_t MessagesDatabaseBuilder::addAttachment(const AttachmentRow& attachment) {
    // original_guid came with iCloud sync, transfer_name and total_bytes with iOS 8 and OS X 10.10.
    const bool synced = has("attachment", "original_guid");
    const bool transferName = has("attachment", "transfer_name");
    if (!transferName && attachment.transferName) {
        throw std::logic_error("this layout has no transfer names");
    }
    auto insert =
        db_.prepare(std::string("INSERT INTO attachment (ROWID, guid, filename, mime_type, transfer_state") +
                    (transferName ? ", transfer_name, total_bytes" : "") + (synced ? ", original_guid" : "") +
                    ") VALUES (?, ?, ?, ?, 5" + (transferName ? ", ?, 1024" : "") + (synced ? ", ?2" : "") + ")");
    bindOptionalRowId(insert, 1, attachment.rowId);
    insert.bindText(2, uniqueGuid(formatGuid("3F582393-07A0-4DB2", ++guidCounter_)));
    bindOptionalText(insert, 3, attachment.filename);
    bindOptionalText(insert, 4, attachment.mimeType);
    if (transferName) {
        bindOptionalText(insert, 5, attachment.transferName);
    }
    insert.next();
    return db_.lastInsertRowId();
}

void MessagesDatabaseBuilder::addMessageAttachment(std::int64_t messageId, std::int64_t attachmentId) {
    auto insert = db_.prepare("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)");
    insert.bindInt64(1, messageId);
    insert.bindInt64(2, attachmentId);
    insert.next();
}

void MessagesDatabaseBuilder::commit() {
    db_.exec("COMMIT");
    db_.exec("BEGIN");
}

void MessagesDatabaseBuilder::checkpoint() {
    db_.exec("COMMIT");
    if (mode_ == JournalMode::wal) {
        db_.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    db_.exec("BEGIN");
}

void MessagesDatabaseBuilder::finish() {
    db_.exec("COMMIT");
    if (mode_ == JournalMode::wal) {
        db_.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    db_.close();
}

void MessagesDatabaseBuilder::finishLeavingWal() {
    if (mode_ != JournalMode::wal) {
        throw std::logic_error("finishLeavingWal needs a WAL database");
    }
    db_.exec("COMMIT");
    int unused = 0;
    sqlite3_db_config(db_.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &unused);
    db_.close();
}

void buildBulkMessagesDatabase(const fs::path& file, const BulkDatabaseOptions& options) {
    auto db = createDatabase(file, options.journal);
    db.exec("PRAGMA synchronous=OFF");
    db.exec("BEGIN");
    createStatements(db, messagesSchemaTables());
    addDatabaseProperties(db);

    auto insertHandle = db.prepare("INSERT INTO handle (ROWID, id, country, service) VALUES (?, ?, 'us', 'iMessage')");
    auto insertChat = db.prepare("INSERT INTO chat (ROWID, guid, style, state, chat_identifier, service_name) "
                                 "VALUES (?, ?, 45, 3, ?, 'iMessage')");
    auto insertChatHandle = db.prepare("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)");
    auto insertMessage =
        db.prepare("INSERT INTO message (ROWID, guid, text, attributedBody, date, is_from_me, handle_id, service, "
                   "cache_has_attachments, is_finished, is_read) VALUES (?, ?, ?, ?, ?, ?, ?, 'iMessage', ?, 1, 1)");
    auto insertChatMessage =
        db.prepare("INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)");
    auto insertAttachment = db.prepare("INSERT INTO attachment (ROWID, guid, original_guid, filename, mime_type) "
                                       "VALUES (?, ?, ?, ?, 'image/jpeg')");
    auto insertMessageAttachment =
        db.prepare("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)");

    auto run = [](SqliteStatement& statement) {
        statement.next();
        statement.reset();
    };

    const double firstDate = 600'000'000.0; // 2020-01-06
    std::int64_t messageId = 0;
    std::int64_t attachmentId = 0;
    char text[96];
    for (int chat = 1; chat <= options.chats; ++chat) {
        char handle[32];
        std::snprintf(handle, sizeof handle, "+1555%07d", chat);
        insertHandle.bindInt64(1, chat);
        insertHandle.bindText(2, handle);
        run(insertHandle);
        insertChat.bindInt64(1, chat);
        insertChat.bindText(2, std::string("iMessage;-;") + handle);
        insertChat.bindText(3, handle);
        run(insertChat);
        insertChatHandle.bindInt64(1, chat);
        insertChatHandle.bindInt64(2, chat);
        run(insertChatHandle);

        for (int index = 0; index < options.messagesPerChat; ++index) {
            ++messageId;
            const bool withAttachment = messageId % 10 == 0;
            const int length = std::snprintf(text, sizeof text, "Message %d of conversation %d, sent as number %lld",
                                             index + 1, chat, static_cast<long long>(messageId));
            const std::string_view body(text, static_cast<std::size_t>(length));
            const auto date = storedNanoseconds(firstDate + static_cast<double>(messageId) * 7.0);
            insertMessage.bindInt64(1, messageId);
            insertMessage.bindText(2, formatGuid("B5A1C0DE-0000-4000", messageId));
            if (options.encodeBody && messageId % 2 == 0) {
                insertMessage.bindNull(3);
                const auto archived = options.encodeBody(body);
                insertMessage.bindBlob(4, archived.data(), archived.size());
            } else {
                insertMessage.bindText(3, body);
                insertMessage.bindNull(4);
            }
            insertMessage.bindInt64(5, date);
            const bool fromMe = index % 3 == 0;
            insertMessage.bindInt64(6, fromMe ? 1 : 0);
            insertMessage.bindInt64(7, fromMe ? 0 : chat);
            insertMessage.bindInt64(8, withAttachment ? 1 : 0);
            run(insertMessage);
            insertChatMessage.bindInt64(1, chat);
            insertChatMessage.bindInt64(2, messageId);
            insertChatMessage.bindInt64(3, date);
            run(insertChatMessage);

            if (withAttachment) {
                ++attachmentId;
                const auto guid = formatGuid("3F582393-07A0-4DB2", attachmentId);
                insertAttachment.bindInt64(1, attachmentId);
                insertAttachment.bindText(2, guid);
                insertAttachment.bindText(3, guid);
                insertAttachment.bindText(4, "~/Library/SMS/Attachments/0c/12/" + guid + "/IMG_" +
                                                 std::to_string(attachmentId) + ".JPG");
                run(insertAttachment);
                insertMessageAttachment.bindInt64(1, messageId);
                insertMessageAttachment.bindInt64(2, attachmentId);
                run(insertMessageAttachment);
            }
        }
    }
    createStatements(db, messagesSchemaIndexes());
    createStatements(db, messagesSchemaTriggers());
    db.exec("COMMIT");
    if (options.journal == JournalMode::wal) {
        db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
}

} // namespace qbtest
