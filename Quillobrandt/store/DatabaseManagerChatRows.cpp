// The rows of one chat: its participants, its messages and their attachments.
#include "Quillobrandt/store/DatabaseManager.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "Quillobrandt/store/ArchivedBodyDecoder.h"
#include "Quillobrandt/store/LoadSteps.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"

using platform::SqliteError;
using platform::SqliteStatement;

namespace quillobrandt {
using namespace load; // the steps every stage of the load shares
namespace {

// Stored dates above this are nanoseconds since 2001 (iOS 11 and later, recent Macs); below, seconds.
constexpr double kNanosecondThreshold = 1e12;
constexpr std::int64_t kSubProgressMinimumMessages = 1000;
constexpr std::int64_t kSubProgressEvery = 100;
// How often a long chat looks at the stop request: often enough that a quitting program never waits long.
constexpr std::int64_t kStopCheckEvery = 256;

// The last path component of a stored file name ("a/b/photo.jpg" gives "photo.jpg").
std::string lastPathComponent(std::string_view stored) {
    while (stored.size() > 1 && stored.back() == '/') {
        stored.remove_suffix(1);
    }
    const auto slash = stored.find_last_of('/');
    return std::string(slash == std::string_view::npos || stored.size() == 1 ? stored : stored.substr(slash + 1));
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

// Messages without a sender row say "Me" or "Unknown": one text each for every chat of every history, not one per
// chat (a history of 50,000 small chats held 50,000 copies of each).
const SharedText& senderWithoutHandle(bool isFromMe) {
    static const SharedText me("Me");
    static const SharedText unknown("Unknown");
    return isFromMe ? me : unknown;
}

} // namespace

SqliteStatement& DatabaseManager::chatStatement(std::optional<SqliteStatement>& slot, const std::string& sql,
                                                std::int64_t chatId, const std::string& what) {
    if (slot) {
        slot->reset();
    } else {
        try {
            slot = db_.prepare(sql);
        } catch (const SqliteError& error) {
            failPrepare(error, what);
        }
    }
    slot->bindInt64(1, chatId);
    return *slot;
}

std::vector<std::string> DatabaseManager::fetchParticipants(std::int64_t chatId) {
    std::vector<std::string> participants;
    if (!db_.isOpen()) {
        return participants;
    }
    // A statement that cannot be prepared ends the load: an empty list would skip the chat unseen.
    SqliteStatement* const prepared = &chatStatement(statements_.participants, layoutStatements().participants, chatId,
                                                     "the participants of chat " + std::to_string(chatId));
    for (;;) {
        const auto step = stepRow(*prepared, db_, "participants of chat", chatId, writeCollected_);
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
    const std::string what = "the messages of chat " + std::to_string(chatId);
    auto& count = chatStatement(statements_.count, layoutStatements().messageCount, chatId, what);
    const int counted = count.step();
    if (counted != SQLITE_ROW && counted != SQLITE_DONE) {
        failRead(counted, what);
    }
    const std::int64_t messageCount = counted == SQLITE_ROW ? count.columnInt64(0) : 0;
    // Sorted by message id: each message finds its own by a binary search, with no map to build per chat.
    auto attachments = readAttachments(chatId);

    SqliteStatement& statement = chatStatement(statements_.messages, layoutStatements().messages, chatId, what);
    std::string* const decodedLines =
        (batching_ ? quoteMessageText_ : platform::consoleIsVerbose()) ? &console_ : nullptr;

    std::vector<Message> messages;
    messages.reserve(static_cast<std::size_t>(std::max<std::int64_t>(messageCount, 0)));
    // This chat's lines up to its messages' line, held from its first body the worker decodes (which then writes
    // into `messages`: they stay put until it is done).
    HeldConsoleLines* held = nullptr;
    // The row (its index in messages) that took each message's attachments: a crafted join table without its key
    // can list a message twice in one chat, and its later rows copy what the first one took.
    constexpr auto kNotTaken = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> takenBy(attachments.size(), kNotTaken);
    SenderTexts senders;
    std::size_t withoutText = 0;
    std::int64_t row = 0;
    try {
        for (;;) {
            const auto step = stepRow(statement, db_, "messages of chat", chatId, writeCollected_);
            if (step == RowStep::done) {
                break;
            }
            if (step == RowStep::failed) {
                failRead(db_.errorCode(), "messages of chat " + std::to_string(chatId));
            }
            if (++row % kStopCheckEvery == 0) {
                throwIfStopped("in chat " + std::to_string(chatId));
            }
            if (held != nullptr && messages.size() == messages.capacity()) {
                bodies_->waitForAll(); // more rows than counted: the messages move, the decoded texts must be in them
            }
            Message& message = messages.emplace_back(); // filled in place: a million moves add up
            message.id = statement.columnInt64(0);
            if (progress && messageCount >= kSubProgressMinimumMessages && row % kSubProgressEvery == 0) {
                progress("Loading conversation...", chatFraction,
                         "Loading message " + std::to_string(row) + " of " + std::to_string(messageCount) + "...",
                         static_cast<double>(row) / static_cast<double>(messageCount));
            }
            // Built straight from SQLite's buffers: a million intermediate copies add up.
            bool decodedLater = false;
            if (const auto text = statement.columnTextView(1)) {
                message.text.emplace(*text);
            } else if (const auto body = statement.columnBlobView(8)) {
                if (bodies_ && decodedLines == nullptr) {
                    if (held == nullptr) {
                        held = &heldConsole_.emplace_back();
                        held->before = std::exchange(console_, {});
                    }
                    bodies_->add(*body, message.id, &message.text, &held->decodedWithoutText);
                    decodedLater = true;
                } else {
                    message.text = decodeAttributedBody(*body, message.id, decodedLines);
                }
            }
            const double raw = statement.columnDouble(2);
            message.date = platform::AbsoluteTime{raw > kNanosecondThreshold ? raw / 1e9 : raw};
            message.isFromMe = statement.columnInt64(3) == 1;
            if (const auto sender = statement.columnTextView(7)) {
                message.sender = senders.shared(*sender);
            } else {
                message.sender = senderWithoutHandle(message.isFromMe);
            }
            if (const auto guid = statement.columnTextView(5)) {
                message.associatedMessageGUID.emplace(*guid);
            }
            // A 32-bit value, as the schema's readers take it: what a wider stored number holds above is not
            // part of it.
            if (const auto type = static_cast<std::int32_t>(statement.columnInt64(6)); type != 0) {
                message.associatedMessageType = type;
            }
            if (!attachments.empty()) {
                auto found = std::lower_bound(attachments.begin(), attachments.end(), message.id,
                                              [](const auto& entry, std::int64_t id) { return entry.first < id; });
                if (found != attachments.end() && found->first == message.id) {
                    auto& holder = takenBy[static_cast<std::size_t>(found - attachments.begin())];
                    if (holder != kNotTaken) {
                        message.attachments = messages[holder].attachments; // the message's second row in this chat
                    } else {
                        holder = messages.size() - 1;
                        for (; found != attachments.end() && found->first == message.id; ++found) {
                            message.attachments.push_back(std::move(found->second));
                        }
                    }
                }
            }
            if (!decodedLater && (!message.text || message.text->empty())) {
                ++withoutText;
            }
        }
    } catch (...) {
        if (held != nullptr) {
            bodies_->waitForAll(); // the worker writes into `messages` until then
        }
        throw;
    }
    // The file was read in one state: fewer rows than it counts would be a history with messages missing unseen.
    if (static_cast<std::int64_t>(messages.size()) < messageCount) {
        flushConsole();
        storeLogError("❌ The load ends: chat " + std::to_string(chatId) + " gave " + std::to_string(messages.size()) +
                      " of its " + std::to_string(messageCount) + " messages");
        throw DatabaseError::unreadableLayout(what + " cannot all be read (" + std::to_string(messages.size()) +
                                              " of " + std::to_string(messageCount) + ")");
    }
    if (held != nullptr) {
        held->finished = true;
        held->messages = messages.size();
        held->withoutText = withoutText;
        held->through = bodies_->added();
    } else {
        console("  📨 " + std::to_string(messages.size()) + " messages, " + std::to_string(withoutText) +
                " without text");
    }
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
    // Messages without their attachments would be a partial load: a statement that cannot be prepared ends it.
    SqliteStatement& statement = chatStatement(statements_.attachments, layoutStatements().attachments, chatId,
                                               "the attachments of chat " + std::to_string(chatId));
    for (;;) {
        const auto step = stepRow(statement, db_, "attachments of chat", chatId, writeCollected_);
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

} // namespace quillobrandt
