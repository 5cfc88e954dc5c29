// Opening a database (where it lies, through a snapshot, or as a working copy) and letting it go again.
#include "Quillobrandt/store/DatabaseManager.h"

#include <utility>

#include "Quillobrandt/store/AttachmentPathResolver.h"
#include "Quillobrandt/store/ConversationMerger.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/EditedCopyWriter.h"
#include "Quillobrandt/store/LoadSteps.h"
#include "Quillobrandt/store/MessagesLayout.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "Quillobrandt/store/ReadInPlace.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"

namespace fs = std::filesystem;
using platform::SqliteError;

namespace quillobrandt {
using namespace load; // the steps every stage of the load shares

void DatabaseManager::closeConnection() {
    statements_ = {}; // finalized before their connection closes
    layout_.reset();
    if (db_.isOpen() && sqlite3_get_autocommit(db_.handle()) == 0) {
        db_.tryExec("COMMIT"); // the read transaction of a file read where it lies: its lock goes now
    }
    db_.close();
    inPlaceTurn_.reset();
    inPlaceWitness_.reset();
}

void DatabaseManager::refuseIfChangedUnderTheRead() const {
    // What was read is then of no single state, and what failed to read says nothing of the file.
    if (inPlaceTurn_ && inPlaceWitness_ && !inPlaceWitness_->unchanged()) {
        storeLogError("❌ The database was changed while it was read, by a program that ignores its lock");
        throw DatabaseError::beingChanged();
    }
}

void DatabaseManager::letGoOfUsersFile() {
    if (inPlaceTurn_) {
        refuseIfChangedUnderTheRead();
        closeConnection();
    }
}

std::vector<Conversation> DatabaseManager::openDatabase(const fs::path& databaseFile,
                                                        const std::optional<fs::path>& attachmentBase,
                                                        const DatabaseProgress& progress) {
    closeConnection();
    snapshot_.reset(); // the previous load's copy goes with its load
    storeLogDatabaseFile("📂 Opening database at: " + databaseFile.string());
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
    if (const auto why = whyNotADatabaseFile(databaseFile)) {
        storeLogError("❌ " + *why);
        throw DatabaseError::notADatabaseFile(*why);
    }
    const auto resolved = resolveDatabaseFolder(databaseFile);
    const bool workingCopy = isWorkingCopyLocation(resolved);
    const auto stopCheck = [this] { return stopRequested(); };
    std::optional<InPlaceRead> inPlace;
    if (!workingCopy && !readThroughSnapshot_) {
        endStopsAsStops("while opening the database", [&] { inPlace = openInPlace(databaseFile, stopCheck); });
    }
    if (workingCopy) {
        storeLogInfo("   Opening with flags: READWRITE");
    } else if (inPlace) {
        storeLogInfo("   Opening with flags: READONLY");
        storeLogInfo("   Reading the database where it lies, in one read transaction");
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
    endStopsAsStops("while opening the database", [&] { layoutStatements(); });

    if (workingCopy) {
        try {
            auto journal = db_.prepare(queries::journalModeDelete);
            journal.step();
            storeLogInfo("   Set journal mode to DELETE (WAL disabled)");
        } catch (const SqliteError& error) {
            storeLogError(withCode(std::string("   ⚠️ Failed to set journal mode: ") + error.what(), error.code()));
        }
    }

    std::vector<Conversation> conversations;
    try {
        conversations = loadConversations(progress);
    } catch (const DatabaseError& error) {
        if (error != DatabaseError::stopped()) {
            refuseIfChangedUnderTheRead();
        }
        throw;
    }
    refuseIfChangedUnderTheRead();
    storeConsole("✅ Loaded " + std::to_string(conversations.size()) + " conversations");
    closeConnection();
    return conversations;
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
                                     const std::shared_ptr<const DatabaseSnapshot>& snapshot,
                                     const std::function<bool()>& stop) {
    writeEditedCopy(source, target, messageIDs, snapshot, stop);
}

} // namespace quillobrandt
