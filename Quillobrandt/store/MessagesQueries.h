#pragma once

#include <string_view>

// The statements the reader runs against a Messages database. Kept together and verbatim: the text of
// each is part of what the reader promises (tests and the benchmark's floor run the very same SQL).
namespace quillobrandt::queries {

inline constexpr std::string_view chatCount = "SELECT COUNT(*) FROM chat";

inline constexpr std::string_view chats = "SELECT chat.ROWID, chat.chat_identifier, chat.style, chat.display_name\n"
                                          "FROM chat\n"
                                          "ORDER BY chat.ROWID DESC";

inline constexpr std::string_view participants = "SELECT handle.id\n"
                                                 "FROM chat_handle_join\n"
                                                 "JOIN handle ON chat_handle_join.handle_id = handle.ROWID\n"
                                                 "WHERE chat_handle_join.chat_id = ?\n"
                                                 "ORDER BY handle.id";

inline constexpr std::string_view messageCount =
    "SELECT COUNT(*)\n"
    "FROM message\n"
    "JOIN chat_message_join ON message.ROWID = chat_message_join.message_id\n"
    "WHERE chat_message_join.chat_id = ?";

inline constexpr std::string_view messages = "SELECT\n"
                                             "    message.ROWID,\n"
                                             "    message.text,\n"
                                             "    message.date,\n"
                                             "    message.is_from_me,\n"
                                             "    message.handle_id,\n"
                                             "    message.associated_message_guid,\n"
                                             "    message.associated_message_type,\n"
                                             "    handle.id as sender_id,\n"
                                             "    message.attributedBody\n"
                                             "FROM message\n"
                                             "JOIN chat_message_join ON message.ROWID = chat_message_join.message_id\n"
                                             "LEFT JOIN handle ON message.handle_id = handle.ROWID\n"
                                             "WHERE chat_message_join.chat_id = ?\n"
                                             "ORDER BY message.date ASC";

inline constexpr std::string_view attachments =
    "SELECT\n"
    "    message_attachment_join.message_id,\n"
    "    attachment.ROWID,\n"
    "    attachment.filename,\n"
    "    attachment.mime_type\n"
    "FROM attachment\n"
    "JOIN message_attachment_join ON attachment.ROWID = message_attachment_join.attachment_id\n"
    "JOIN chat_message_join ON message_attachment_join.message_id = chat_message_join.message_id\n"
    "WHERE chat_message_join.chat_id = ?\n"
    "ORDER BY message_attachment_join.message_id";

inline constexpr std::string_view journalModeDelete = "PRAGMA journal_mode=DELETE";

inline constexpr std::string_view deleteMessage = "DELETE FROM message WHERE ROWID = ?;";

inline constexpr std::string_view vacuum = "VACUUM;";

} // namespace quillobrandt::queries
