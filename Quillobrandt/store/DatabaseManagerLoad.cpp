// The load of every chat on the open connection: the chat list, the progress, the chats kept, the merge.
#include "Quillobrandt/store/DatabaseManager.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <utility>

#include "Quillobrandt/store/LoadSteps.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"

using platform::SqliteError;
using platform::SqliteStatement;

namespace quillobrandt {
using namespace load; // the steps every stage of the load shares
namespace {

// The chats' share of the progress bar: merging follows at 0.95, so the bar never goes back.
constexpr double kChatsShare = 0.95;
constexpr auto kChatProgressEvery = std::chrono::milliseconds(4);

} // namespace

std::vector<Conversation> DatabaseManager::loadConversations(const DatabaseProgress& progress) {
    if (!db_.isOpen()) {
        throw DatabaseError::databaseNotOpen();
    }
    report(progress, "Counting conversations...", 0.0);
    std::int64_t chatCount = 0;
    SqliteStatement chats;
    endStopsAsStops("while counting the chats", [&] {
        const auto& statements = layoutStatements();
        chatCount = countRows(db_, statements.chatCount, "   ⚠️ Failed to count chats: ");
        storeLogInfo("   Found " + std::to_string(chatCount) + " chats in database");
        try {
            chats = db_.prepare(statements.chats);
        } catch (const SqliteError& error) {
            failPrepare(error, "the list of chats");
        }
    });

    // The chats' lines go out a few chats at a time (one write per chat is a system call, and from a terminal a
    // wake-up of its reader, per chat); those quoting message text only when asked for. What is left goes out when
    // the load ends, however it ends.
    struct ConsoleBatch {
        DatabaseManager& manager;
        ~ConsoleBatch() {
            manager.batching_ = false;
            manager.writeCollectedConsole();
            manager.bodies_.reset();
        }
    } const batch{*this};
    batching_ = true;
    quoteMessageText_ = platform::consoleIsVerbose();
    if (!quoteMessageText_) {
        // A body's diagnostic line quotes its text: decoded beside the load only when none is written.
        try {
            bodies_ = std::make_unique<ArchivedBodyWorker>();
        } catch (const std::system_error&) {
            // No thread to be had: the bodies are decoded in turn.
        }
    }
    std::vector<Conversation> conversations;
    // However the load ends, the worker is done with the messages before they go.
    struct WaitForBodies {
        const std::unique_ptr<ArchivedBodyWorker>& bodies;
        ~WaitForBodies() {
            if (bodies) {
                bodies->waitForAll();
            }
        }
    } const waitForBodies{bodies_};
    conversations.reserve(static_cast<std::size_t>(std::max<std::int64_t>(chatCount, 0)));
    std::int64_t index = 0;
    std::int64_t withoutParticipants = 0;
    auto lastReport = std::chrono::steady_clock::time_point{};
    for (;; flushConsoleWhenFull()) {
        if (stopRequested()) {
            storeLogInfo("⏹️ Load stopped after " + std::to_string(index) + " of " + std::to_string(chatCount) +
                         " chats");
            throw DatabaseError::stopped();
        }
        const auto step = stepRow(chats, db_, "chats", -1, writeCollected_);
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
            ++withoutParticipants;
            continue;
        }
        auto messages = fetchMessages(chatId, progress, fraction);
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

    chats = {}; // finalized: the connection may close now
    if (inPlaceTurn_ && (!inPlaceWitness_ || inPlaceWitness_->unchanged())) {
        closeConnection(); // the writers' lock goes with the last row, not once the bodies are decoded
    }
    flushConsole(); // waits for the last bodies
    if (withoutParticipants > 0) {
        // Left out by design (nobody to name the conversation after), and said in the log.
        storeLogInfo("   Left out " + std::to_string(withoutParticipants) + " chats without participants");
    }
    letGoOfUsersFile();
    report(progress, "Merging duplicate conversations...", 0.95);
    auto merged = mergeDuplicateConversations(std::move(conversations));
    report(progress, "Complete", 1.0);
    return merged;
}

} // namespace quillobrandt
