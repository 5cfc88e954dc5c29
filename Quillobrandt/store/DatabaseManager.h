#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Quillobrandt/store/Attachment.h"
#include "Quillobrandt/store/AttachmentPathResolver.h"
#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/Message.h"
#include "platform/core/Sqlite.h"

namespace quillobrandt {

// Progress of a load: the main line and its fraction (0...1), and for large chats a second line and
// fraction. Called synchronously on the loading thread; callers move the values to their UI thread.
using DatabaseProgress =
    std::function<void(const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                       std::optional<double> subFraction)>;

// Reads a Messages database ("chat.db", "sms.db") into conversations, and writes edited copies.
// One instance serves one load at a time on one thread; use a fresh instance per load. Working copies
// in the temporary or caches folders are opened read-write (so a leftover WAL can be folded in); any
// other file read-only, so the user's own database is never changed.
class DatabaseManager {
public:
    DatabaseManager() = default;
    virtual ~DatabaseManager() = default;
    DatabaseManager(const DatabaseManager&) = delete;
    DatabaseManager& operator=(const DatabaseManager&) = delete;

    // Opens the file, loads every conversation (merged) and closes the connection again.
    // `attachmentBase`: folder for attachment files; defaults to the database's folder.
    // Throws DatabaseError: cannotOpenDatabase, or what loadConversations throws (the connection then
    // stays open until the next openDatabase or the instance's end).
    virtual std::vector<Conversation> openDatabase(const std::filesystem::path& databaseFile,
                                                   const std::optional<std::filesystem::path>& attachmentBase = {},
                                                   const DatabaseProgress& progress = {});

    // The steps of openDatabase, on the open connection.
    // Throws DatabaseError: databaseNotOpen, queryFailed, authorizationDenied (SQLite refused access).
    virtual std::vector<Conversation> loadConversations(const DatabaseProgress& progress = {});
    // Handle ids of the chat's members, ascending; empty when none or unreadable. Never throws.
    virtual std::vector<std::string> fetchParticipants(std::int64_t chatId);
    // The chat's messages, oldest first, with text and attachments. Throws databaseNotOpen, queryFailed.
    virtual std::vector<Message> fetchMessages(std::int64_t chatId, const DatabaseProgress& progress = {},
                                               double chatFraction = 0.0);
    // Attachments of every message of the chat, keyed by message row id. Throws databaseNotOpen.
    virtual std::unordered_map<std::int64_t, std::vector<Attachment>> fetchAttachmentsBatch(std::int64_t chatId);
    // Local path of an attachment from its stored file name, against attachmentBaseURL(). Never throws.
    virtual std::string resolveAttachmentPath(const std::string& storedName) const;

    // One-to-one conversations with the same person joined into one; group chats kept. Needs no connection.
    static std::vector<Conversation> mergeDuplicateConversations(std::vector<Conversation> conversations);

    // Writes a copy of `source` at `target` without the given messages, compacted. The source is only
    // read. Throws EditedCopyError when target names the source, std::filesystem::filesystem_error when
    // the source is missing or the old target cannot be removed, DatabaseError when the copy cannot be
    // made or edited (no target is left behind then).
    static void saveEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                               const std::unordered_set<std::int64_t>& messageIDs);

    bool isOpen() const { return db_.isOpen(); }
    const std::optional<std::filesystem::path>& databaseURL() const { return databaseURL_; }
    const std::optional<std::filesystem::path>& attachmentBaseURL() const { return attachmentBaseURL_; }

private:
    platform::SqliteDatabase db_;
    std::optional<std::filesystem::path> databaseURL_;
    std::optional<std::filesystem::path> attachmentBaseURL_;
    // Lives for one load: remembers missing folders and gathers diagnostics per chat.
    mutable std::optional<AttachmentPathResolver> pathResolver_;
};

} // namespace quillobrandt
