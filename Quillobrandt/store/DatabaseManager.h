#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Quillobrandt/store/ArchivedBodyWorker.h"
#include "Quillobrandt/store/Attachment.h"
#include "Quillobrandt/store/AttachmentPathResolver.h"
#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "Quillobrandt/store/Message.h"
#include "Quillobrandt/store/MessagesLayout.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "platform/core/Sqlite.h"

namespace quillobrandt {

// Progress of a load: the main line and its fraction (0...1), and for large chats a second line and
// fraction. Called synchronously on the loading thread; callers move the values to their UI thread.
using DatabaseProgress =
    std::function<void(const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                       std::optional<double> subFraction)>;

// Reads a Messages database ("chat.db", "sms.db") into conversations, and writes edited copies.
// One instance serves one load at a time on one thread (never the GUI thread); use a fresh instance per
// load. The program's own working copies (isWorkingCopyLocation) are opened read-write in place, so a
// leftover WAL can be folded in. Any other file is only read, and nothing is ever written beside it: a database in
// rollback-journal mode (a live writer's journal beside it or none) is read where it lies, in one read transaction
// (openInPlace); any other (WAL mode, a journal no writer holds, a writer holding it) through a private
// DatabaseSnapshot.
class DatabaseManager {
public:
    DatabaseManager() = default;
    virtual ~DatabaseManager() = default;
    DatabaseManager(const DatabaseManager&) = delete;
    DatabaseManager& operator=(const DatabaseManager&) = delete;

    // Opens the file, loads every conversation (merged) and closes the connection again. A file that is not
    // a working copy and cannot be read where it lies is first copied into a snapshot (progress "Copying
    // database..."), which snapshot() keeps until the next openDatabase or the instance's end. databaseURL()
    // stays `databaseFile`.
    // `attachmentBase`: folder for attachment files; defaults to the database's folder.
    // Throws DatabaseError: cannotOpenDatabase, notMessagesDatabase (none of the Messages tables), unreadableLayout
    // (a table or column without which nothing can be shown is missing; see MessagesLayout), what
    // DatabaseSnapshot::take throws, or what loadConversations throws (the connection to a snapshot or a working
    // copy then stays open until the next openDatabase or the instance's end; a file read where it lies is let go
    // at once, so that no writer of the user's waits on a failed load), or beingChanged when a
    // program that ignores SQLite's lock changed a file read where it lies during the read.
    virtual std::vector<Conversation> openDatabase(const std::filesystem::path& databaseFile,
                                                   const std::optional<std::filesystem::path>& attachmentBase = {},
                                                   const DatabaseProgress& progress = {});

    // The steps of openDatabase, on the open connection.
    // Throws DatabaseError: databaseNotOpen, queryFailed, authorizationDenied (SQLite refused access), stopped,
    // damaged, notMessagesDatabase or unreadableLayout. A chat is skipped only when it has no participants or no
    // messages; a statement that cannot be prepared and any row that cannot be read end the load.
    virtual std::vector<Conversation> loadConversations(const DatabaseProgress& progress = {});
    // Handle ids of the chat's members, ascending; empty when none. Throws DatabaseError when the statement cannot
    // be prepared or the rows cannot be read.
    virtual std::vector<std::string> fetchParticipants(std::int64_t chatId);
    // The chat's messages, oldest first, with text and attachments. Throws databaseNotOpen, and DatabaseError when
    // a statement cannot be prepared or a row cannot be read.
    virtual std::vector<Message> fetchMessages(std::int64_t chatId, const DatabaseProgress& progress = {},
                                               double chatFraction = 0.0);
    // Attachments of every message of the chat, keyed by message row id. Throws databaseNotOpen, and
    // DatabaseError when the rows cannot be read.
    virtual std::unordered_map<std::int64_t, std::vector<Attachment>> fetchAttachmentsBatch(std::int64_t chatId);
    // Local path of an attachment from its stored file name, against attachmentBaseURL(). Never throws.
    virtual std::string resolveAttachmentPath(const std::string& storedName) const;

    // One-to-one conversations with the same person joined into one; group chats kept. Needs no connection.
    static std::vector<Conversation> mergeDuplicateConversations(std::vector<Conversation> conversations);

    // Writes a copy of `source` at `target` without the given messages, compacted and checked, through a
    // temporary file beside the target (see writeEditedCopy for the errors). The source is never opened in
    // place: the copy is made from `snapshot` when it was taken of `source` (the snapshot the conversations on
    // screen came from, so the ids match), else from a fresh snapshot; a working copy is read directly. Ends with
    // DatabaseError::stopped soon after `stop` returns true. Call from a worker thread.
    static void saveEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                               const std::unordered_set<std::int64_t>& messageIDs,
                               const std::shared_ptr<const DatabaseSnapshot>& snapshot = nullptr,
                               const std::function<bool()>& stop = {});

    // Any thread: a running load stops soon (while copying, between chats, every few hundred messages of a chat)
    // and throws DatabaseError::stopped.
    void requestStop() { ownStop_.request_stop(); }
    // A load also stops once `token` is asked to; set it before the load starts.
    void setStopToken(std::stop_token token) { stopToken_ = std::move(token); }
    // The loads read a private snapshot even of a file that could be read where it lies (a picked Messages folder is
    // loaded from a copy of its database). Set before the load starts.
    void setReadThroughSnapshot(bool always) { readThroughSnapshot_ = always; }
    bool stopRequested() const { return ownStop_.stop_requested() || stopToken_.stop_requested(); }

    bool isOpen() const { return db_.isOpen(); }
    const std::optional<std::filesystem::path>& databaseURL() const { return databaseURL_; }
    const std::optional<std::filesystem::path>& attachmentBaseURL() const { return attachmentBaseURL_; }
    // The snapshot the last openDatabase read; null for a working copy and for a file read where it lies (nobody
    // could change it while it was read; an edited copy takes a fresh snapshot). Keep it with the conversations to
    // make their edited copy from the same data.
    const std::shared_ptr<const DatabaseSnapshot>& snapshot() const { return snapshot_; }

private:
    // The per-chat statements, prepared once per connection and reset and rebound for each chat.
    struct ChatStatements {
        std::optional<platform::SqliteStatement> participants;
        std::optional<platform::SqliteStatement> count;
        std::optional<platform::SqliteStatement> attachments;
        std::optional<platform::SqliteStatement> messages;
    };

    void closeConnection();
    // Throws beingChanged when a program that ignores SQLite's lock changed the file read where it lies meanwhile.
    void refuseIfChangedUnderTheRead() const;
    // Once the last row is read: a file read where it lies is checked as above and let go at once, so that a writer's
    // commit waits only while rows are read (not while the chats are merged, nor for what the caller does next).
    void letGoOfUsersFile();
    // The chat's attachments with their message's row id, ordered by it (each message's in row order); what
    // fetchAttachmentsBatch groups. Throws databaseNotOpen, and DatabaseError when the rows cannot be read.
    std::vector<std::pair<std::int64_t, Attachment>> readAttachments(std::int64_t chatId);
    // Ends the load on a read that failed with SQLite's `code`: stopped when a stop was asked for, else the
    // case fromSqlite gives (damaged, not a database, ...). Logs what could not be read.
    [[noreturn]] void failRead(int code, const std::string& what) const;
    // Throws DatabaseError::stopped (and logs where) once a stop was asked for.
    void throwIfStopped(const std::string& where) const;
    // Runs a stage of the load that logs no stop of its own: whatever ends it once a stop was asked for ends the
    // load as that stop, said once in the log.
    void endStopsAsStops(const std::string& where, const std::function<void()>& stage) const;
    // Prepares on first use, resets otherwise, and binds the chat's row id. A statement SQLite cannot prepare ends
    // the load (failPrepare), `what` naming the rows it was to read.
    platform::SqliteStatement& chatStatement(std::optional<platform::SqliteStatement>& slot, const std::string& sql,
                                             std::int64_t chatId, const std::string& what);
    // Ends the load on a statement that SQLite cannot prepare: stopped when a stop was asked for, what fromSqlite
    // gives for a file that cannot be read, else unreadableLayout naming `what` and SQLite's reason.
    [[noreturn]] void failPrepare(const platform::SqliteError& error, const std::string& what) const;
    // The statements for this file's layout, learnt on first use (throws what MessagesLayout::learn throws).
    const MessagesStatements& layoutStatements();
    // A console line: collected while a load runs and written by flushConsoleWhenFull() or at the load's end (an
    // error line first writes what was collected), else written at once.
    void console(std::string_view line);
    void flushConsole();
    void flushConsoleWhenFull();
    // Writes every line collected so far, in order, waiting for the bodies a held line counts.
    void writeCollectedConsole() const;
    // Moves held lines whose bodies are decoded (all of them, waiting, when `wait`) to readyConsole_.
    void releaseHeldConsole(bool wait) const;

    // The lines of a chat up to its messages' line, held while its archived bodies are decoded: that line counts
    // the messages left without text. The worker adds to decodedWithoutText through a pointer, so held lines are
    // kept in a deque (whose elements stay put).
    struct HeldConsoleLines {
        std::string before;                 // the lines up to the chat's first body
        bool finished = false;              // the chat was read to its end: its messages' line follows
        std::size_t messages = 0;           // of the chat
        std::size_t withoutText = 0;        // among those not decoded by the worker
        std::size_t decodedWithoutText = 0; // the worker's, complete once decoded(through)
        std::uint64_t through = 0;          // the worker's count of bodies once the chat's last was added
    };

    std::shared_ptr<const DatabaseSnapshot> snapshot_; // declared first: outlives the connection reading it
    std::optional<FileTurn> inPlaceTurn_;              // the turn of the file read where it lies, after the connection
    std::optional<FileWitness> inPlaceWitness_;        // how that file stood once its read began
    platform::SqliteDatabase db_;
    std::optional<MessagesLayout> layout_; // of the open connection's file
    ChatStatements statements_;            // after db_: finalized before the connection closes
    // Console lines in order: readyConsole_, heldConsole_, console_ (failRead writes them out before its error line).
    mutable std::string readyConsole_;
    mutable std::deque<HeldConsoleLines> heldConsole_;
    mutable std::string console_;
    const std::function<void()> writeCollected_ = [this] { writeCollectedConsole(); }; // for stepRow
    // Decodes archived bodies beside a load that collects its console lines without quoting messages.
    std::unique_ptr<ArchivedBodyWorker> bodies_;
    bool batching_ = false;
    bool readThroughSnapshot_ = false;
    bool quoteMessageText_ = false;
    std::optional<std::filesystem::path> databaseURL_;
    std::optional<std::filesystem::path> attachmentBaseURL_;
    std::stop_source ownStop_;
    std::stop_token stopToken_;
    // Lives for one load: remembers missing folders and gathers diagnostics per chat.
    mutable std::optional<AttachmentPathResolver> pathResolver_;
};

} // namespace quillobrandt
