// The Messages schema of other releases, as public descriptions of the files give it: the same seven tables
// throughout since iOS 6 and OS X 10.8, with columns added release by release. Built from the iOS 13 statements
// where a release only added to them.
#include <algorithm>
#include <set>
#include <string>

#include "tests/support/MessagesSchema.h"

namespace qbtest {
namespace {

// The message columns of iOS 6 and OS X 10.8-10.9: text in `text` (a typedstream body beside it), no reactions.
constexpr const char* kMessageColumnsIos6 =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, replace INTEGER DEFAULT 0,"
    " service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB,"
    " version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT,"
    " error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER,"
    " is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0,"
    " is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0,"
    " is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0,"
    " is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0,"
    " is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0,"
    " is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT,"
    " was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0";
// Added by iOS 8 and OS X 10.10: audio messages, group actions, expiring messages.
constexpr const char* kMessageColumnsYosemite =
    ", is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER,"
    " item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT,"
    " group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, share_direction INTEGER DEFAULT 0,"
    " is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0,"
    " message_source INTEGER DEFAULT 0";
// Added by iOS 10-11 and macOS 10.12-10.13: reactions (associated messages), app balloons, iCloud sync.
constexpr const char* kMessageColumnsHighSierra =
    ", associated_message_guid TEXT, associated_message_type INTEGER DEFAULT 0, balloon_bundle_id TEXT,"
    " payload_data BLOB, expressive_send_style_id TEXT, associated_message_range_location INTEGER DEFAULT 0,"
    " associated_message_range_length INTEGER DEFAULT 0, time_expressive_send_played INTEGER,"
    " message_summary_info BLOB, ck_sync_state INTEGER DEFAULT 0, ck_record_id TEXT, ck_record_change_tag TEXT,"
    " destination_caller_id TEXT";
// Added by iOS 14-17 and macOS 11-14: replies in threads, edits and retractions, message parts.
constexpr const char* kMessageColumnsVentura =
    ", reply_to_guid TEXT, sort_id INTEGER, is_spam INTEGER DEFAULT 0, has_unseen_mention INTEGER DEFAULT 0,"
    " thread_originator_guid TEXT, thread_originator_part TEXT, syndication_ranges TEXT DEFAULT NULL,"
    " synced_syndication_ranges TEXT DEFAULT NULL, was_delivered_quietly INTEGER DEFAULT 0,"
    " did_notify_recipient INTEGER DEFAULT 0, date_retracted INTEGER, date_edited INTEGER,"
    " was_detonated INTEGER DEFAULT 0, part_count INTEGER, is_stewie INTEGER DEFAULT 0,"
    " is_kt_verified INTEGER DEFAULT 0, is_sos INTEGER DEFAULT 0, is_critical INTEGER DEFAULT 0,"
    " bia_reference_id TEXT DEFAULT NULL, fallback_hash TEXT DEFAULT NULL";

constexpr const char* kChatColumnsIos6 =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, state INTEGER,"
    " account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT,"
    " account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT,"
    " group_id TEXT, is_filtered INTEGER, successful_query INTEGER";
constexpr const char* kChatColumnsHighSierra =
    ", engram_id TEXT, server_change_token TEXT, ck_sync_state INTEGER DEFAULT 0, original_group_id TEXT,"
    " last_read_message_timestamp INTEGER DEFAULT 0";

constexpr const char* kAttachmentColumnsIos6 =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, created_date INTEGER DEFAULT 0,"
    " start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0,"
    " is_outgoing INTEGER DEFAULT 0";
constexpr const char* kAttachmentColumnsYosemite =
    ", user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT 0";
constexpr const char* kAttachmentColumnsHighSierra =
    ", is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB, attribution_info BLOB,"
    " hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0, ck_server_change_token_blob BLOB,"
    " ck_record_id TEXT, original_guid TEXT UNIQUE NOT NULL";

constexpr const char* kHandleIos6 =
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT,"
    " service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service) )";
constexpr const char* kChatMessageJoinIos6 =
    "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, message_id"
    " INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY KEY (chat_id, message_id))";
constexpr const char* kChatMessageJoinHighSierra =
    "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, message_id"
    " INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, message_date INTEGER DEFAULT 0, PRIMARY KEY"
    " (chat_id, message_id))";
// macOS 13 keeps deleted messages for 30 days: their rows leave chat_message_join for these two tables.
constexpr const char* kRecentlyDeletedVentura[] = {
    "CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,"
    " message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, delete_date INTEGER, ck_sync_state"
    " INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id), CHECK (delete_date != 0))",
    "CREATE TABLE recoverable_message_part (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,"
    " message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, part_index INTEGER, delete_date"
    " INTEGER, part_text BLOB NOT NULL, ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id,"
    " part_index), CHECK (delete_date != 0))",
};

std::string createTable(const char* table, const std::string& columns) {
    return std::string("CREATE TABLE ") + table + " (" + columns + ")";
}

// The name a CREATE statement gives ("CREATE INDEX name ON ...", "CREATE TABLE name (...").
std::string createdName(std::string_view statement) {
    const auto start = statement.find_first_of(' ', statement.find_first_of(' ') + 1) + 1;
    return std::string(statement.substr(start, statement.find_first_of(" (", start) - start));
}

// The iOS 13 statements of one group, with some left out and some replaced (by the name they create).
std::vector<std::string> fromIos13(const std::vector<std::string_view>& statements, const std::set<std::string>& left,
                                   const std::vector<std::string>& replacements = {}) {
    std::vector<std::string> result;
    for (const auto statement : statements) {
        const auto name = createdName(statement);
        if (left.count(name) != 0) {
            continue;
        }
        const auto replacement = std::find_if(replacements.begin(), replacements.end(),
                                              [&](const std::string& other) { return createdName(other) == name; });
        result.emplace_back(replacement != replacements.end() ? *replacement : std::string(statement));
    }
    return result;
}

// A statement with more columns before its closing parenthesis.
std::string withColumns(std::string_view statement, const char* more) {
    const auto close = statement.find_last_of(')');
    return std::string(statement.substr(0, close)) + more + std::string(statement.substr(close));
}

std::string_view ios13Statement(const std::vector<std::string_view>& statements, const std::string& name) {
    for (const auto statement : statements) {
        if (createdName(statement) == name) {
            return statement;
        }
    }
    return {};
}

// Tables, indexes and triggers that came with iCloud sync, reactions and the message date in the join table.
const std::set<std::string> kLaterTables = {"sync_deleted_messages", "message_processing_task", "sync_deleted_chats",
                                            "sync_deleted_attachments", "kvtable"};
const std::set<std::string> kLaterIndexes = {"message_idx_associated_message",
                                             "chat_message_join_idx_message_date_id_chat_id",
                                             "message_processing_task_idx_guid_task_flags"};
const std::set<std::string> kLaterTriggers = {
    "update_message_date_after_update_on_message", "add_to_sync_deleted_messages",
    "delete_associated_messages_after_delete_on_message", "add_to_sync_deleted_attachments"};

SchemaStatements yosemite() {
    const std::string message = std::string(kMessageColumnsIos6) + kMessageColumnsYosemite;
    return {fromIos13(messagesSchemaTables(), kLaterTables,
                      {createTable("message", message), createTable("chat", kChatColumnsIos6),
                       createTable("attachment", std::string(kAttachmentColumnsIos6) + kAttachmentColumnsYosemite),
                       kHandleIos6, kChatMessageJoinIos6}),
            fromIos13(messagesSchemaIndexes(), kLaterIndexes), fromIos13(messagesSchemaTriggers(), kLaterTriggers)};
}

SchemaStatements ios6() {
    auto laterTables = kLaterTables;
    laterTables.insert("deleted_messages");
    auto laterIndexes = kLaterIndexes;
    laterIndexes.insert(
        {"message_idx_expire_state", "message_idx_other_handle", "message_idx_isRead_isFromMe_itemType"});
    // Before other_handle, a handle was let go with its last chat and message by triggers that iOS 8 rewrote.
    auto laterTriggers = kLaterTriggers;
    laterTriggers.insert({"after_delete_on_chat_handle_join", "after_delete_on_message", "add_to_deleted_messages"});
    return {fromIos13(messagesSchemaTables(), laterTables,
                      {createTable("message", kMessageColumnsIos6), createTable("chat", kChatColumnsIos6),
                       createTable("attachment", kAttachmentColumnsIos6), kHandleIos6, kChatMessageJoinIos6}),
            fromIos13(messagesSchemaIndexes(), laterIndexes), fromIos13(messagesSchemaTriggers(), laterTriggers)};
}

SchemaStatements highSierra() {
    const std::string message = std::string(kMessageColumnsIos6) + kMessageColumnsYosemite + kMessageColumnsHighSierra;
    return {fromIos13(messagesSchemaTables(), {},
                      {createTable("message", message),
                       createTable("chat", std::string(kChatColumnsIos6) + kChatColumnsHighSierra),
                       createTable("attachment", std::string(kAttachmentColumnsIos6) + kAttachmentColumnsYosemite +
                                                     kAttachmentColumnsHighSierra),
                       kHandleIos6, kChatMessageJoinHighSierra}),
            fromIos13(messagesSchemaIndexes(), {}), fromIos13(messagesSchemaTriggers(), {})};
}

SchemaStatements ventura() {
    const auto& tables = messagesSchemaTables();
    auto statements =
        fromIos13(tables, {},
                  {withColumns(ios13Statement(tables, "message"), kMessageColumnsVentura),
                   withColumns(ios13Statement(tables, "chat"), ", is_recovered INTEGER DEFAULT 0"),
                   withColumns(ios13Statement(tables, "attachment"), ", preview_generation_state INTEGER DEFAULT 0")});
    statements.insert(statements.end(), std::begin(kRecentlyDeletedVentura), std::end(kRecentlyDeletedVentura));
    auto indexes = fromIos13(messagesSchemaIndexes(), {});
    indexes.emplace_back("CREATE INDEX message_idx_thread_originator_guid ON message(thread_originator_guid)");
    return {std::move(statements), std::move(indexes), fromIos13(messagesSchemaTriggers(), {})};
}

SchemaStatements ios13() {
    return {fromIos13(messagesSchemaTables(), {}), fromIos13(messagesSchemaIndexes(), {}),
            fromIos13(messagesSchemaTriggers(), {})};
}

} // namespace

const SchemaStatements& messagesSchema(SchemaLayout layout) {
    static const SchemaStatements layouts[] = {ios6(), yosemite(), highSierra(), ios13(), ventura()};
    return layouts[static_cast<int>(layout)];
}

const char* schemaLayoutName(SchemaLayout layout) {
    switch (layout) {
    case SchemaLayout::iPhoneIos6:
        return "iPhoneIos6";
    case SchemaLayout::macYosemite:
        return "macYosemite";
    case SchemaLayout::macHighSierra:
        return "macHighSierra";
    case SchemaLayout::iPhoneIos13:
        return "iPhoneIos13";
    case SchemaLayout::macVentura:
        return "macVentura";
    }
    return "unknown";
}

bool storesDatesInSeconds(SchemaLayout layout) {
    return layout == SchemaLayout::iPhoneIos6 || layout == SchemaLayout::macYosemite;
}

const std::vector<std::string>& messagesSchemaBeforeIos6() {
    static const std::vector<std::string> statements = {
        "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE (key))",
        "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT,"
        " flags INTEGER, replace INTEGER, svc_center TEXT, group_id INTEGER, association_id INTEGER, height INTEGER,"
        " UIFlags INTEGER, version INTEGER, subject TEXT, country TEXT, headers BLOB, recipients BLOB, read INTEGER,"
        " madrid_attributedBody BLOB, madrid_handle TEXT, madrid_version INTEGER, madrid_guid TEXT,"
        " madrid_type INTEGER, madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT,"
        " madrid_account_guid TEXT, madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT,"
        " madrid_error INTEGER, is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER)",
        "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, newest_message INTEGER,"
        " unread_count INTEGER, hash INTEGER)",
        "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, address TEXT,"
        " country TEXT)",
        "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER, data BLOB,"
        " part_id INTEGER, preview_part INTEGER, content_type TEXT, height INTEGER, version INTEGER, flags INTEGER,"
        " content_id TEXT, content_loc TEXT, headers BLOB)",
        "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, attachment_guid TEXT,"
        " created_date INTEGER, start_date INTEGER, filename TEXT, uti_type TEXT, mime_type TEXT,"
        " transfer_state INTEGER, is_incoming INTEGER, message_id INTEGER)",
        "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, style INTEGER, state INTEGER,"
        " account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, guid TEXT, room_name TEXT,"
        " account_login TEXT, participants BLOB)",
        "CREATE INDEX message_group_index ON message (group_id, ROWID)",
        "CREATE INDEX group_id_index ON group_member (group_id)",
    };
    return statements;
}

} // namespace qbtest
