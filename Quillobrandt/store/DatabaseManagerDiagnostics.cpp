// The load's console lines, its stops and the failures that end it.
#include "Quillobrandt/store/DatabaseManager.h"

#include <utility>

#include "Quillobrandt/store/LoadSteps.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"

namespace quillobrandt {
using namespace load; // the steps every stage of the load shares
namespace {

// Console lines are written once this much has gathered: a few hundred small chats per write.
constexpr std::size_t kConsoleBatchBytes = std::size_t{64} << 10;

} // namespace

void DatabaseManager::failRead(int code, const std::string& what) const {
    writeCollectedConsole(); // the lines before the error line
    if (stopRequested()) {
        storeLogInfo("⏹️ Load stopped while reading " + what);
        throw DatabaseError::stopped();
    }
    storeLogError(withCode("❌ The load ends: " + what + " cannot be read", code));
    if ((code & 0xFF) == SQLITE_FULL) {
        throw temporaryFolderFull(db_);
    }
    throw DatabaseError::fromSqlite(code, DatabaseError::queryFailed());
}

void DatabaseManager::failPrepare(const platform::SqliteError& error, const std::string& what) const {
    const int code = error.code() & 0xFF;
    if (stopRequested() || endsTheLoad(code) || code == SQLITE_AUTH) {
        failRead(error.code(), what);
    }
    writeCollectedConsole(); // the lines before the error line
    storeLogError(withCode("❌ The load ends: SQLite cannot read " + what + ": " + error.what(), error.code()));
    throw DatabaseError::unreadableLayout(what + " cannot be read (" + error.what() + ")");
}

const MessagesStatements& DatabaseManager::layoutStatements() {
    if (!layout_) {
        layout_.emplace(MessagesLayout::learn(db_));
    }
    return layout_->statements();
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
    writeCollectedConsole();
}

void DatabaseManager::flushConsoleWhenFull() {
    releaseHeldConsole(false);
    if (!heldConsole_.empty() && console_.size() < kConsoleBatchBytes) {
        // Only what comes before the first line still waiting for its bodies can go.
        if (readyConsole_.size() >= kConsoleBatchBytes) {
            platform::consoleText(std::exchange(readyConsole_, {}));
        }
    } else if (readyConsole_.size() + console_.size() >= kConsoleBatchBytes) {
        // Lines can pile up behind a chat whose last bodies are still gathered (the chats read after it have none,
        // so no batch fills): they would wait for the load's end. Its bodies are decoded now instead.
        writeCollectedConsole();
    }
}

void DatabaseManager::releaseHeldConsole(bool wait) const {
    if (wait && bodies_) {
        bodies_->waitForAll(); // also what the load's end waits for: every text in its message
    }
    while (!heldConsole_.empty()) {
        auto& held = heldConsole_.front();
        // Unfinished, a chat's lines can only be let go when the load ends inside it (their messages' line never
        // comes then).
        if (!wait && (!held.finished || (bodies_ && !bodies_->decoded(held.through)))) {
            break;
        }
        readyConsole_ += held.before;
        if (held.finished) {
            readyConsole_ += "  📨 " + std::to_string(held.messages) + " messages, " +
                             std::to_string(held.withoutText + held.decodedWithoutText) + " without text\n";
        }
        heldConsole_.pop_front();
    }
}

void DatabaseManager::writeCollectedConsole() const {
    releaseHeldConsole(true);
    if (!readyConsole_.empty()) {
        platform::consoleText(readyConsole_);
        readyConsole_.clear();
    }
    platform::consoleText(console_);
    console_.clear();
}

} // namespace quillobrandt
