#include "Quillobrandt/store/DatabaseManager.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <utility>

#include "Quillobrandt/store/ArchivedBodyDecoder.h"
#include "Quillobrandt/store/AttachmentPathResolver.h"
#include "Quillobrandt/store/ConversationMerger.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/EditedCopyWriter.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"

namespace fs = std::filesystem;
using platform::SqliteError;
using platform::SqliteStatement;

namespace quillobrandt {
namespace {

// Stored dates above this are nanoseconds since 2001 (iOS 11 and later, recent Macs); below, seconds.
constexpr double kNanosecondThreshold = 1e12;
constexpr std::int64_t kSubProgressMinimumMessages = 1000;
constexpr std::int64_t kSubProgressEvery = 100;
// How often a long chat looks at the stop request: often enough that a quitting program never waits long.
constexpr std::int64_t kStopCheckEvery = 256;
// The chats' share of the progress bar: merging follows at 0.95, so the bar never goes back.
constexpr double kChatsShare = 0.95;
// Console lines are written once this much has gathered: a few hundred small chats per write.
constexpr std::size_t kConsoleBatchBytes = std::size_t{64} << 10;
constexpr auto kChatProgressEvery = std::chrono::milliseconds(4);
// The tables the reader needs. A missing one makes the file something other than a Messages database; an
// empty one is just an empty history.
constexpr std::array<std::string_view, 7> kMessagesTables{
    "chat", "chat_handle_join", "handle", "chat_message_join", "message", "message_attachment_join", "attachment"};

void report(const DatabaseProgress& progress, const std::string& message, double fraction) {
    if (progress) {
        progress(message, fraction, std::nullopt, std::nullopt);
    }
}

std::string withCode(const std::string& message, int code) {
    return message + " (code: " + std::to_string(code) + ")";
}

// Failures that mean the file itself cannot be read (damaged, not a database, the disk failing) or that the
// load was stopped: no chat after them could be trusted, so the load ends instead of skipping the chat.
bool endsTheLoad(int code) {
    switch (code & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_INTERRUPT:
    case SQLITE_NOMEM:
        return true;
    default:
        return false;
    }
}

enum class RowStep { row, done, failed };

// Steps once; a failed step is logged as "❌ Failed to read <what>: <SQLite message> (code: N)".
// Lines still collected in `pending` go out first, so that the error line follows them.
// `what` and `chatId` (none when negative) name the rows in that line.
RowStep stepRow(SqliteStatement& statement, const platform::SqliteDatabase& db, std::string_view what,
                std::int64_t chatId, std::string& pending) {
    const int rc = statement.step();
    if (rc == SQLITE_ROW) {
        return RowStep::row;
    }
    if (rc == SQLITE_DONE) {
        return RowStep::done;
    }
    platform::consoleText(std::exchange(pending, {}));
    std::string rows(what);
    if (chatId >= 0) {
        rows += ' ';
        rows += std::to_string(chatId);
    }
    storeLogError(withCode("❌ Failed to read " + rows + ": " + db.errorMessage(), rc));
    return RowStep::failed;
}

// The last path component of a stored file name ("a/b/photo.jpg" gives "photo.jpg").
std::string lastPathComponent(std::string_view stored) {
    while (stored.size() > 1 && stored.back() == '/') {
        stored.remove_suffix(1);
    }
    const auto slash = stored.find_last_of('/');
    return std::string(slash == std::string_view::npos || stored.size() == 1 ? stored : stored.substr(slash + 1));
}

// The first integer of a one-row count statement; 0 when it cannot be prepared or gives no row. A file that
// cannot be read ends the load.
std::int64_t countRows(const platform::SqliteDatabase& db, std::string_view sql, const std::string& failureLine) {
    try {
        auto statement = db.prepare(sql);
        const int rc = statement.step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            throw SqliteError(rc, db.errorMessage());
        }
        return rc == SQLITE_ROW ? statement.columnInt64(0) : 0;
    } catch (const SqliteError& error) {
        storeLogError(withCode(failureLine + error.what(), error.code()));
        if (endsTheLoad(error.code())) {
            throw DatabaseError::fromSqlite(error.code(), DatabaseError::queryFailed());
        }
        return 0;
    }
}

// Every table the reader needs is there (as a table or a view). Throws notMessagesDatabase when one is missing,
// and what SQLite says of a file it cannot read.
void requireMessagesTables(const platform::SqliteDatabase& db) {
    std::vector<std::string> missing;
    try {
        auto present = db.prepare("SELECT 1 FROM sqlite_schema WHERE type IN ('table', 'view') AND name = ? "
                                  "COLLATE NOCASE");
        for (const auto table : kMessagesTables) {
            present.reset();
            present.bindText(1, table);
            if (!present.next()) {
                missing.emplace_back(table);
            }
        }
    } catch (const SqliteError& error) {
        storeLogError(withCode(std::string("❌ Failed to read the database's tables: ") + error.what(), error.code()));
        throw DatabaseError::fromSqlite(error.code(), DatabaseError::cannotOpenDatabase());
    }
    if (!missing.empty()) {
        std::string names;
        for (const auto& table : missing) {
            names += (names.empty() ? "" : ", ") + table;
        }
        storeLogError("❌ Not a Messages database: no " + names + " table");
        throw DatabaseError::notMessagesDatabase();
    }
}

// The few senders of one chat, each text made once and shared by all of its messages. A chat with more senders
// than a group has members (a crafted one) gets texts of their own past the first few, never a slow search.
class SenderTexts {
public:
    SharedText shared(std::string_view sender) {
        for (const auto& known : known_) {
            if (known == sender) {
                return known;
            }
        }
        if (known_.size() >= kMostShared) {
            return SharedText(sender);
        }
        return known_.emplace_back(sender);
    }

private:
    static constexpr std::size_t kMostShared = 64;
    std::vector<SharedText> known_;
};

// Marks a load as under way for its lifetime: console lines are then collected and written a few chats at a time,
// and what is left goes out when the load ends, however it ends.
class ConsoleBatch {
public:
    ConsoleBatch(bool& batching, std::string& lines) : batching_(batching), lines_(lines) { batching_ = true; }
    ConsoleBatch(const ConsoleBatch&) = delete;
    ConsoleBatch& operator=(const ConsoleBatch&) = delete;
    ~ConsoleBatch() {
        batching_ = false;
        platform::consoleText(std::exchange(lines_, {}));
    }

private:
    bool& batching_;
    std::string& lines_;
};

} // namespace

void DatabaseManager::closeConnection() {
    statements_ = {}; // finalized before their connection closes
    if (db_.isOpen() && sqlite3_get_autocommit(db_.handle()) == 0) {
        db_.tryExec("COMMIT"); // the read transaction of a file read where it lies: its lock goes now
    }
    db_.close();
    inPlaceTurn_.reset();
    inPlaceWitness_.reset();
}

void DatabaseManager::failRead(int code, const std::string& what) const {
    platform::consoleText(std::exchange(console_, {})); // the lines before the error line
    if (stopRequested()) {
        storeLogInfo("⏹️ Load stopped while reading " + what);
        throw DatabaseError::stopped();
    }
    storeLogError(withCode("❌ The load ends: " + what + " cannot be read", code));
    throw DatabaseError::fromSqlite(code, DatabaseError::queryFailed());
}

void DatabaseManager::throwIfStopped(const std::string& where) const {
    if (stopRequested()) {
        storeLogInfo("⏹️ Load stopped " + where);
        throw DatabaseError::stopped();
    }
}

void DatabaseManager::endStopsAsStops(const std::string& where, const std::function<void()>& stage) const {
    try {
        stage();
    } catch (...) {
        if (!stopRequested()) {
            throw;
        }
        // SQLite reports a stop as an interrupted statement, the copy as a stop of its own: either is the stop.
        storeLogInfo("⏹️ Load stopped " + where);
        throw DatabaseError::stopped();
    }
}

void DatabaseManager::console(std::string_view line) {
    console_ += line;
    console_ += '\n';
    if (!batching_) {
        flushConsole();
    }
}

void DatabaseManager::flushConsole() {
    platform::consoleText(console_);
    console_.clear();
}

void DatabaseManager::flushConsoleWhenFull() {
    if (console_.size() >= kConsoleBatchBytes) {
        flushConsole();
    }
}

SqliteStatement& DatabaseManager::chatStatement(std::optional<SqliteStatement>& slot, std::string_view sql,
                                                std::int64_t chatId) {
    if (slot) {
        slot->reset();
    } else {
        slot = db_.prepare(sql);
    }
    slot->bindInt64(1, chatId);
    return *slot;
}

std::vector<Conversation> DatabaseManager::openDatabase(const fs::path& databaseFile,
                                                        const std::optional<fs::path>& attachmentBase,
                                                        const DatabaseProgress& progress) {
    closeConnection();
    snapshot_.reset(); // the previous load's copy goes with its load
    storeLogInfo("📂 Opening database at: " + databaseFile.string());
    databaseURL_ = databaseFile;
    attachmentBaseURL_ = attachmentBase ? *attachmentBase : databaseFile.parent_path();
    pathResolver_.emplace(attachmentBaseURL_, platform::consoleIsVerbose());

    // A file read where it lies is let go however the load ends: a failed load must not keep its writer waiting.
    struct LetGoOfUsersFile {
        DatabaseManager& manager;
        ~LetGoOfUsersFile() {
            if (manager.inPlaceTurn_) {
                manager.closeConnection();
            }
        }
    } const letGo{*this};
    const auto resolved = resolveDatabaseFolder(databaseFile);
    const bool workingCopy = isWorkingCopyLocation(resolved);
    const auto stopCheck = [this] { return stopRequested(); };
    std::optional<InPlaceRead> inPlace;
    if (!workingCopy) {
        endStopsAsStops("while opening the database", [&] { inPlace = openInPlace(databaseFile, stopCheck); });
    }
    if (workingCopy) {
        storeLogInfo("   Opening with flags: READWRITE");
    } else if (inPlace) {
        storeLogInfo("   Opening with flags: READONLY");
        inPlaceTurn_.emplace(std::move(inPlace->turn));
        db_ = std::move(inPlace->db);
        inPlaceWitness_ = std::move(inPlace->witness);
    } else {
        report(progress, "Copying database...", 0.0);
        endStopsAsStops("while copying the database", [&] {
            snapshot_ = DatabaseSnapshot::take(
                databaseFile,
                [this, &progress](double fraction) {
                    if (stopRequested()) {
                        throw DatabaseError::stopped();
                    }
                    report(progress, "Copying database...", fraction);
                },
                stopCheck);
        });
        // The snapshot is read-only too, so that closing it does not spend time folding its log back in.
        storeLogInfo("   Opening with flags: READONLY");
    }
    throwIfStopped("before reading");
    if (!db_.isOpen()) {
        try {
            db_ = platform::SqliteDatabase::open(workingCopy ? resolved : snapshot_->file(),
                                                 (workingCopy ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                                                     SQLITE_OPEN_NOFOLLOW);
            // Someone else's file: its schema may hold anything, and a stop must end even a query that never would.
            db_.distrustSchema();
            db_.setStopCheck(stopCheck);
        } catch (const SqliteError& error) {
            storeLogError(std::string("❌ Failed to open database: ") + error.what());
            storeLogError("   SQLite error code: " + std::to_string(error.code()));
            throw DatabaseError::fromSqlite(error.code(), DatabaseError::cannotOpenDatabase());
        }
    }
    storeLogInfo("✅ Database opened successfully");
    endStopsAsStops("while opening the database", [&] { requireMessagesTables(db_); });

    if (workingCopy) {
        try {
            auto journal = db_.prepare(queries::journalModeDelete);
            journal.step();
            storeLogInfo("   Set journal mode to DELETE (WAL disabled)");
        } catch (const SqliteError& error) {
            storeLogError(withCode(std::string("   ⚠️ Failed to set journal mode: ") + error.what(), error.code()));
        }
    }

    // A program that ignores SQLite's lock may have written the file under the read: what was read is then of no
    // single state, and what failed to read says nothing of the file.
    const auto refuseIfChanged = [this] {
        if (inPlaceTurn_ && inPlaceWitness_ && !inPlaceWitness_->unchanged()) {
            storeLogError("❌ The database was changed while it was read, by a program that ignores its lock");
            throw DatabaseError::beingChanged();
        }
    };
    std::vector<Conversation> conversations;
    try {
        conversations = loadConversations(progress);
    } catch (const DatabaseError& error) {
        if (error != DatabaseError::stopped()) {
            refuseIfChanged();
        }
        throw;
    }
    refuseIfChanged();
    storeConsole("✅ Loaded " + std::to_string(conversations.size()) + " conversations");
    closeConnection();
    return conversations;
}

std::vector<Conversation> DatabaseManager::loadConversations(const DatabaseProgress& progress) {
    if (!db_.isOpen()) {
        throw DatabaseError::databaseNotOpen();
    }
    report(progress, "Counting conversations...", 0.0);
    std::int64_t chatCount = 0;
    SqliteStatement chats;
    endStopsAsStops("while counting the chats", [&] {
        chatCount = countRows(db_, queries::chatCount, "   ⚠️ Failed to count chats: ");
        storeLogInfo("   Found " + std::to_string(chatCount) + " chats in database");
        try {
            chats = db_.prepare(queries::chats);
        } catch (const SqliteError& error) {
            storeLogError(withCode(std::string("❌ Failed to prepare chat query: ") + error.what(), error.code()));
            throw DatabaseError::fromSqlite(error.code(), DatabaseError::queryFailed());
        }
    });

    // The chats' lines go out a few chats at a time (one write per chat is a system call, and from a terminal a
    // wake-up of its reader, per chat); those quoting message text only when asked for.
    const ConsoleBatch batch(batching_, console_);
    quoteMessageText_ = platform::consoleIsVerbose();
    std::vector<Conversation> conversations;
    conversations.reserve(static_cast<std::size_t>(std::max<std::int64_t>(chatCount, 0)));
    std::int64_t index = 0;
    auto lastReport = std::chrono::steady_clock::time_point{};
    for (;; flushConsoleWhenFull()) {
        if (stopRequested()) {
            storeLogInfo("⏹️ Load stopped after " + std::to_string(index) + " of " + std::to_string(chatCount) +
                         " chats");
            throw DatabaseError::stopped();
        }
        const auto step = stepRow(chats, db_, "chats", -1, console_);
        if (step == RowStep::done) {
            break;
        }
        if (step == RowStep::failed) {
            failRead(db_.errorCode(), "the list of chats");
        }
        ++index;
        const auto chatId = chats.columnInt64(0);
        const auto identifier = chats.columnText(1).value_or(""); // a NULL identifier only affects this diagnostic
        const auto style = chats.columnInt64(2);
        const auto displayName = chats.columnText(3);

        // The chats read so far: the bar reaches the merge's share only once the last chat is read.
        const double fraction = kChatsShare * static_cast<double>(std::min(index - 1, chatCount)) /
                                static_cast<double>(std::max<std::int64_t>(chatCount, 1));
        // The first and the last chat, and those between at most every few milliseconds: a report crosses to the
        // GUI thread, and thousands of small chats would cost more reports than reading.
        if (progress) {
            const auto now = std::chrono::steady_clock::now();
            if (index == 1 || index >= chatCount || now - lastReport >= kChatProgressEvery) {
                lastReport = now;
                report(progress,
                       "Loading conversations " + std::to_string(index) + " of " + std::to_string(chatCount) + "...",
                       fraction);
            }
        }
        console("💬 Chat " + std::to_string(index) + ": ROWID=" + std::to_string(chatId) + " identifier=" + identifier +
                " style=" + std::to_string(style) + " name=" + displayName.value_or("(none)"));

        auto participants = fetchParticipants(chatId);
        if (participants.empty()) {
            console("  ⚠️ No participants found, skipping chat " + std::to_string(chatId));
            continue;
        }
        std::vector<Message> messages;
        try {
            messages = fetchMessages(chatId, progress, fraction);
        } catch (const DatabaseError& error) {
            // Only a messages statement this schema cannot prepare skips the chat; a chat whose rows cannot be
            // read ends the load, so that a damaged file never looks like a shorter history.
            if (error != DatabaseError::queryFailed() || statements_.messages) {
                throw;
            }
            console(std::string("  ⚠️ Error fetching messages: ") + error.what());
            continue;
        }
        if (messages.empty()) {
            console("  ⚠️ No messages found, skipping chat " + std::to_string(chatId));
            continue;
        }
        Conversation conversation;
        conversation.id = std::to_string(chatId);
        conversation.participants = std::move(participants);
        conversation.messageCount = static_cast<std::int64_t>(messages.size());
        conversation.messages = std::move(messages);
        conversations.push_back(std::move(conversation));
    }

    flushConsole();
    report(progress, "Merging duplicate conversations...", 0.95);
    auto merged = mergeDuplicateConversations(std::move(conversations));
    report(progress, "Complete", 1.0);
    return merged;
}

std::vector<std::string> DatabaseManager::fetchParticipants(std::int64_t chatId) {
    std::vector<std::string> participants;
    if (!db_.isOpen()) {
        return participants;
    }
    SqliteStatement* prepared = nullptr;
    try {
        prepared = &chatStatement(statements_.participants, queries::participants, chatId);
    } catch (const SqliteError& error) {
        if (endsTheLoad(error.code())) {
            failRead(error.code(), "the participants of chat " + std::to_string(chatId));
        }
        return {};
    }
    for (;;) {
        const auto step = stepRow(*prepared, db_, "participants of chat", chatId, console_);
        if (step == RowStep::done) {
            break;
        }
        if (step == RowStep::failed) {
            // Half a member list would give the chat the wrong name.
            failRead(db_.errorCode(), "the participants of chat " + std::to_string(chatId));
        }
        if (const auto handle = prepared->columnTextView(0)) {
            participants.emplace_back(*handle);
        }
    }
    return participants;
}

std::vector<Message> DatabaseManager::fetchMessages(std::int64_t chatId, const DatabaseProgress& progress,
                                                    double chatFraction) {
    if (!db_.isOpen()) {
        throw DatabaseError::databaseNotOpen();
    }
    std::int64_t messageCount = 0;
    try {
        auto& count = chatStatement(statements_.count, queries::messageCount, chatId);
        const int rc = count.step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            failRead(rc, "the messages of chat " + std::to_string(chatId));
        }
        messageCount = rc == SQLITE_ROW ? count.columnInt64(0) : 0;
    } catch (const SqliteError& error) {
        if (endsTheLoad(error.code())) {
            failRead(error.code(), "the messages of chat " + std::to_string(chatId));
        }
        messageCount = 0; // only sizes the list and the progress
    }
    // Sorted by message id: each message finds its own by a binary search, with no map to build per chat.
    auto attachments = readAttachments(chatId);

    SqliteStatement* prepared = nullptr;
    try {
        prepared = &chatStatement(statements_.messages, queries::messages, chatId);
    } catch (const SqliteError& error) {
        if (endsTheLoad(error.code())) {
            failRead(error.code(), "the messages of chat " + std::to_string(chatId));
        }
        throw DatabaseError::queryFailed();
    }
    SqliteStatement& statement = *prepared;
    std::string* const decodedLines =
        (batching_ ? quoteMessageText_ : platform::consoleIsVerbose()) ? &console_ : nullptr;

    std::vector<Message> messages;
    messages.reserve(static_cast<std::size_t>(std::max<std::int64_t>(messageCount, 0)));
    SenderTexts senders;
    std::size_t withoutText = 0;
    std::int64_t row = 0;
    for (;;) {
        const auto step = stepRow(statement, db_, "messages of chat", chatId, console_);
        if (step == RowStep::done) {
            break;
        }
        if (step == RowStep::failed) {
            failRead(db_.errorCode(), "messages of chat " + std::to_string(chatId));
        }
        if (++row % kStopCheckEvery == 0) {
            throwIfStopped("in chat " + std::to_string(chatId));
        }
        Message& message = messages.emplace_back(); // filled in place: a million moves add up
        message.id = statement.columnInt64(0);
        if (progress && messageCount >= kSubProgressMinimumMessages && row % kSubProgressEvery == 0) {
            progress("Loading conversation...", chatFraction,
                     "Loading message " + std::to_string(row) + " of " + std::to_string(messageCount) + "...",
                     static_cast<double>(row) / static_cast<double>(messageCount));
        }
        // Built straight from SQLite's buffers: a million intermediate copies add up.
        if (const auto text = statement.columnTextView(1)) {
            message.text.emplace(*text);
        } else if (const auto body = statement.columnBlobView(8)) {
            message.text = decodeAttributedBody(*body, message.id, decodedLines);
        }
        const double raw = statement.columnDouble(2);
        message.date = platform::AbsoluteTime{raw > kNanosecondThreshold ? raw / 1e9 : raw};
        message.isFromMe = statement.columnInt64(3) == 1;
        if (const auto sender = statement.columnTextView(7)) {
            message.sender = senders.shared(*sender);
        } else {
            message.sender = senders.shared(message.isFromMe ? "Me" : "Unknown");
        }
        if (const auto guid = statement.columnTextView(5)) {
            message.associatedMessageGUID.emplace(*guid);
        }
        if (const auto type = statement.columnInt64(6); type != 0) {
            message.associatedMessageType = type;
        }
        if (!attachments.empty()) {
            auto found = std::lower_bound(attachments.begin(), attachments.end(), message.id,
                                          [](const auto& entry, std::int64_t id) { return entry.first < id; });
            for (; found != attachments.end() && found->first == message.id; ++found) {
                message.attachments.push_back(std::move(found->second));
            }
        }
        if (!message.text || message.text->empty()) {
            ++withoutText;
        }
    }
    console("  📨 " + std::to_string(messages.size()) + " messages, " + std::to_string(withoutText) + " without text");
    return messages;
}

std::unordered_map<std::int64_t, std::vector<Attachment>> DatabaseManager::fetchAttachmentsBatch(std::int64_t chatId) {
    std::unordered_map<std::int64_t, std::vector<Attachment>> byMessage;
    for (auto& [messageId, attachment] : readAttachments(chatId)) {
        byMessage[messageId].push_back(std::move(attachment));
    }
    return byMessage;
}

std::vector<std::pair<std::int64_t, Attachment>> DatabaseManager::readAttachments(std::int64_t chatId) {
    if (!db_.isOpen()) {
        throw DatabaseError::databaseNotOpen();
    }
    std::vector<std::pair<std::int64_t, Attachment>> attachments;
    SqliteStatement* prepared = nullptr;
    try {
        prepared = &chatStatement(statements_.attachments, queries::attachments, chatId);
    } catch (const SqliteError& error) {
        if (endsTheLoad(error.code())) {
            failRead(error.code(), "the attachments of chat " + std::to_string(chatId));
        }
        console(std::string("  ⚠️ Failed to prepare batch attachment query: ") + error.what());
        return attachments;
    }
    SqliteStatement& statement = *prepared;
    for (;;) {
        const auto step = stepRow(statement, db_, "attachments of chat", chatId, console_);
        if (step == RowStep::done) {
            break;
        }
        if (step == RowStep::failed) {
            // Messages without some of their attachments would be a partial load.
            failRead(db_.errorCode(), "attachments of chat " + std::to_string(chatId));
        }
        const auto storedView = statement.columnTextView(2);
        if (!storedView) {
            continue;
        }
        const std::string stored(*storedView);
        auto& [messageId, attachment] = attachments.emplace_back();
        messageId = statement.columnInt64(0);
        attachment.id = statement.columnInt64(1);
        attachment.filename = lastPathComponent(stored);
        if (const auto mimeType = statement.columnTextView(3)) {
            attachment.mimeType.emplace(*mimeType);
        }
        attachment.filePath = resolveAttachmentPath(stored);
    }
    if (!attachments.empty()) {
        // The statement orders by message id; a stable sort keeps each message's own order should a schema not.
        const auto byMessageId = [](const auto& a, const auto& b) { return a.first < b.first; };
        if (!std::is_sorted(attachments.begin(), attachments.end(), byMessageId)) {
            std::stable_sort(attachments.begin(), attachments.end(), byMessageId);
        }
        std::size_t messages = 0;
        for (std::size_t i = 0; i < attachments.size(); ++i) {
            messages += i == 0 || attachments[i].first != attachments[i - 1].first ? 1 : 0;
        }
        if (pathResolver_) {
            if (const std::string lines = pathResolver_->takeDiagnostics(); !lines.empty()) {
                console(lines);
            }
        }
        console("  📎 " + std::to_string(attachments.size()) + " attachments for " + std::to_string(messages) +
                " messages");
    }
    return attachments;
}

std::string DatabaseManager::resolveAttachmentPath(const std::string& storedName) const {
    if (!pathResolver_) {
        pathResolver_.emplace(attachmentBaseURL_, platform::consoleIsVerbose());
    }
    return pathResolver_->resolve(storedName);
}

std::vector<Conversation> DatabaseManager::mergeDuplicateConversations(std::vector<Conversation> conversations) {
    return quillobrandt::mergeDuplicateConversations(std::move(conversations));
}

void DatabaseManager::saveEditedCopy(const fs::path& source, const fs::path& target,
                                     const std::unordered_set<std::int64_t>& messageIDs,
                                     const std::shared_ptr<const DatabaseSnapshot>& snapshot) {
    writeEditedCopy(source, target, messageIDs, snapshot);
}

} // namespace quillobrandt
