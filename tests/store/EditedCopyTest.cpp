#include "Quillobrandt/store/EditedCopyWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/store/PartialFileNotes.h"
#include "Quillobrandt/store/TriggerFunctions.h"
#include "platform/core/Sqlite.h"
#include "platform/core/Uuid.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using platform::SqliteDatabase;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using quillobrandt::EditedCopyError;

namespace {

std::int64_t scalar(const fs::path& file, const std::string& sql) {
    auto db = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto statement = db.prepare(sql);
    return statement.next() ? statement.columnInt64(0) : -1;
}

std::string text(const fs::path& file, const std::string& sql) {
    auto db = SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto statement = db.prepare(sql);
    return statement.next() ? statement.columnText(0).value_or("<NULL>") : "<no row>";
}

bool logsContain(const std::string& line) {
    return quillobrandt::Logger::shared().getAllLogs().find(line) != std::string::npos;
}

// The shared log outlives each test: this marks where the current test's lines begin.
std::string markLog() {
    const std::string marker = "test starts: " + platform::makeUuidString();
    quillobrandt::Logger::shared().log(marker);
    return marker;
}

// True when `line` was logged after `marker` (the previous log, if any, comes before the current one).
bool loggedSince(const std::string& marker, const std::string& line) {
    const auto all = quillobrandt::Logger::shared().getAllLogs();
    const auto previousAt = all.find("=== Previous Log ===");
    const auto chronological =
        previousAt == std::string::npos ? all : all.substr(previousAt) + all.substr(0, previousAt);
    const auto markerAt = chronological.find(marker);
    return markerAt != std::string::npos && chronological.find(line, markerAt) != std::string::npos;
}

struct Source {
    fs::path file;
    std::int64_t withPhoto = 0;
    std::int64_t plain = 0;
    std::int64_t kept = 0;
};

// The user's database: two chats, one message with a photo, one that shares its photo with a kept message.
Source buildSource(const fs::path& file, qbtest::JournalMode mode = qbtest::JournalMode::rollback) {
    fs::create_directories(file.parent_path());
    Source source{file};
    qbtest::MessagesDatabaseBuilder builder(file, mode);
    const auto ann = builder.addOneToOneChat("ann@example.com");
    source.withPhoto =
        builder.addMessageToChat(ann.chatId, {.text = "secret photo", .date = 1, .handleId = ann.handleId});
    builder.addMessageAttachment(source.withPhoto,
                                 builder.addAttachment({.filename = "~/Library/SMS/Attachments/a/secret.jpg"}));
    source.plain = builder.addMessageToChat(ann.chatId, {.text = "secret words", .date = 2, .isFromMe = 1});
    source.kept = builder.addMessageToChat(ann.chatId, {.text = "keep me", .date = 3, .handleId = ann.handleId});
    const auto bob = builder.addOneToOneChat("bob@example.com");
    const auto shared = builder.addAttachment({.filename = "~/Library/SMS/Attachments/b/shared.jpg"});
    const auto first = builder.addMessageToChat(bob.chatId, {.text = "shared 1", .date = 4, .handleId = bob.handleId});
    const auto second = builder.addMessageToChat(bob.chatId, {.text = "shared 2", .date = 5, .isFromMe = 1});
    builder.addMessageAttachment(first, shared);
    builder.addMessageAttachment(second, shared);
    builder.finish();
    return source;
}

fs::path userFolder() {
    return qbtest::IsolatedHome::root() / "home" / "Documents";
}

// Saves as the conversation view does; the source's folder must look the same afterwards, but for the target.
void saveCopy(const fs::path& source, const fs::path& target, const std::unordered_set<std::int64_t>& ids,
              const std::shared_ptr<const quillobrandt::DatabaseSnapshot>& snapshot = nullptr) {
    const auto withoutTarget = [&](std::map<std::string, std::string> listing) {
        const auto name = target.filename().string();
        std::erase_if(listing, [&](const auto& entry) { return entry.first.rfind(name, 0) == 0; });
        return listing;
    };
    const auto before = withoutTarget(storetest::folderListing(source.parent_path()));
    const auto check = [&] {
        EXPECT_EQ(withoutTarget(storetest::folderListing(source.parent_path())), before) << source;
    };
    try {
        DatabaseManager::saveEditedCopy(source, target, ids, snapshot);
    } catch (...) {
        check();
        throw;
    }
    check();
}

} // namespace

TEST(EditedCopy, DeletesTheMarkedMessagesWithTheirLinksAndLeavesTheSourceAlone) {
    const auto source = buildSource(userFolder() / "chat.db");
    const auto before = storetest::fileBytes(source.file);
    const auto target = userFolder() / "edited.db";

    saveCopy(source.file, target, {source.withPhoto, source.plain, 999});

    EXPECT_EQ(storetest::fileBytes(source.file), before);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message"), 3);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message WHERE text LIKE 'secret%'"), 0);
    // The phone's own triggers and cascades ran: no dangling links, the lone photo's row is gone, the shared one stays.
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM chat_message_join"), 3);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM attachment"), 1);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message_attachment_join"), 2);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM deleted_messages"), 2);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM sync_deleted_attachments"), 1);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM pragma_foreign_key_check"), 0);
    EXPECT_EQ(text(target, "PRAGMA integrity_check"), "ok");
    // One self-contained file whose freed pages were compacted away.
    EXPECT_EQ(text(target, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(storetest::fileBytes(target).find("secret words"), std::string::npos);
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        EXPECT_FALSE(fs::exists(target.string() + suffix)) << suffix;
    }
    EXPECT_TRUE(fs::is_empty(quillobrandt::partialFileNotesFolder())) << "a finished copy needs no note";

    const auto conversations = storetest::load(target);
    ASSERT_EQ(conversations.size(), 2u);
    EXPECT_EQ(storetest::findById(conversations, "1")->messageCount, 1);
    EXPECT_EQ(storetest::findById(conversations, "2")->messageCount, 2);
    EXPECT_TRUE(logsContain("[INFO] ✅ Deleted 3 messages")); // an id without a row counts as deleted
}

TEST(EditedCopy, AnEmptySetStillCopiesAndVacuums) {
    const auto source = buildSource(userFolder() / "chat.db");
    const auto target = userFolder() / "copy.db";
    saveCopy(source.file, target, {});
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message"), 5);
    EXPECT_TRUE(logsContain("[INFO]    Deleting 0 messages"));
    EXPECT_TRUE(logsContain("[INFO] ✅ Deleted 0 messages"));
    EXPECT_TRUE(logsContain("[INFO] ✅ Database vacuumed successfully"));
    EXPECT_TRUE(logsContain("[INFO] ✅ Edited copy saved successfully"));
}

TEST(EditedCopy, AnOldTargetIsReplacedWhole) {
    const auto source = buildSource(userFolder() / "chat.db");
    const auto target = userFolder() / "copy.db";
    buildSource(target);
    saveCopy(source.file, target, {source.plain});
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message"), 4);
    EXPECT_EQ(text(target, "PRAGMA integrity_check"), "ok");
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        EXPECT_FALSE(fs::exists(target.string() + suffix)) << suffix;
    }
}

TEST(EditedCopy, RefusesEveryOtherNameOfTheSource) {
    const auto source = buildSource(userFolder() / "chat.db");
    const auto before = storetest::fileBytes(source.file);
    fs::create_symlink(source.file, userFolder() / "link.db");
    fs::create_hard_link(source.file, userFolder() / "hard.db");
    for (const auto& target :
         {source.file, userFolder() / "." / "chat.db", userFolder() / "link.db", userFolder() / "hard.db",
          fs::path(source.file.string() + "-wal"), fs::path(source.file.string() + "-journal")}) {
        try {
            saveCopy(source.file, target, {source.plain});
            ADD_FAILURE() << "wrote over " << target;
        } catch (const EditedCopyError& error) {
            EXPECT_NE(std::string(error.description()).find("must not replace the database it is made from"),
                      std::string::npos);
        }
        EXPECT_EQ(storetest::fileBytes(source.file), before) << target;
    }
}

TEST(EditedCopy, AMissingSourceFailsBeforeAnOldTargetIsTouched) {
    const auto marker = markLog();
    const auto target = userFolder() / "copy.db";
    buildSource(target);
    const auto before = storetest::fileBytes(target);
    EXPECT_THROW(saveCopy(userFolder() / "missing.db", target, {1}), DatabaseError);
    EXPECT_EQ(storetest::fileBytes(target), before);
    EXPECT_FALSE(loggedSince(marker, "✅ Database copied"));
    EXPECT_TRUE(loggedSince(marker, "💾 Saving edited database copy"));
}

TEST(EditedCopy, AnOldTargetThatCannotBeRemovedStopsTheCopy) {
    const auto source = buildSource(userFolder() / "chat.db");
    const auto target = userFolder() / "folder.db";
    fs::create_directories(target / "inside");
    EXPECT_THROW(saveCopy(source.file, target, {1}), DatabaseError);
    EXPECT_TRUE(fs::is_directory(target / "inside"));
}

TEST(EditedCopy, AFailingDeleteLeavesNoCopyBehind) {
    const auto source = buildSource(userFolder() / "chat.db");
    {
        auto db = SqliteDatabase::open(source.file, SQLITE_OPEN_READWRITE);
        db.exec("CREATE TRIGGER keep_kept BEFORE DELETE ON message WHEN OLD.ROWID = " + std::to_string(source.kept) +
                " BEGIN SELECT RAISE(ABORT, 'this message is protected'); END");
    }
    const auto before = storetest::fileBytes(source.file);
    const auto target = userFolder() / "copy.db";
    try {
        saveCopy(source.file, target, {source.plain, source.kept});
        ADD_FAILURE() << "saved despite a failed delete";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::queryFailed());
    }
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(fs::exists(target.string() + "-journal"));
    EXPECT_EQ(storetest::fileBytes(source.file), before);
    EXPECT_TRUE(logsContain("[ERROR] ⚠️ Failed to delete message " + std::to_string(source.kept) +
                            ": this message is protected"));
}

TEST(EditedCopy, ASourceThatIsNoDatabaseLeavesNoCopyBehind) {
    fs::create_directories(userFolder());
    const auto source = userFolder() / "notes.db";
    std::ofstream(source) << "not a database at all, just some words that fill more than a header would";
    const auto target = userFolder() / "copy.db";
    try {
        saveCopy(source, target, {1});
        ADD_FAILURE() << "copied a text file";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::notMessagesDatabase());
    }
    EXPECT_FALSE(fs::exists(target));
}

TEST(EditedCopy, ACopyThatFailsSQLitesIntegrityCheckLeavesNoCopyBehind) {
    // Rows that break their table's CHECK constraint (written with the check switched off) survive the copy and the
    // vacuum alike: only the integrity check of the finished copy finds them.
    const auto source = buildSource(userFolder() / "chat.db");
    {
        auto db = SqliteDatabase::open(source.file, SQLITE_OPEN_READWRITE);
        db.exec("CREATE TABLE sync_state (generation INTEGER CHECK (generation >= 0)); "
                "PRAGMA ignore_check_constraints=ON; INSERT INTO sync_state VALUES (-1);");
    }
    const auto target = userFolder() / "copy.db";
    try {
        saveCopy(source.file, target, {source.plain});
        ADD_FAILURE() << "saved a copy that fails SQLite's integrity check";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::damaged());
    }
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(storetest::folderListing(userFolder()).size(), 1u) << "something was left beside the copy's name";
}

TEST(EditedCopy, RowsStillInTheSourcesWriteAheadLogReachTheCopy) {
    const auto file = userFolder() / "chat.db";
    fs::create_directories(userFolder());
    {
        qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::wal);
        const auto chat = builder.addOneToOneChat("+15550000009");
        builder.addMessageToChat(chat.chatId, {.text = "old", .date = 1, .handleId = chat.handleId});
        builder.checkpoint();
        builder.addMessageToChat(chat.chatId, {.text = "newest", .date = 2, .isFromMe = 1});
        builder.addMessageToChat(chat.chatId, {.text = "newest, deleted", .date = 3, .isFromMe = 1});
        builder.finishLeavingWal();
    }
    const auto before = storetest::fileBytes(file);
    const auto target = userFolder() / "copy.db";
    saveCopy(file, target, {3});
    EXPECT_EQ(storetest::fileBytes(file), before);

    // The copy alone, without anything next to it, holds the newest row.
    const auto moved = qbtest::IsolatedHome::root() / "moved.db";
    fs::copy_file(target, moved);
    EXPECT_EQ(text(moved, "SELECT group_concat(text, '|') FROM (SELECT text FROM message ORDER BY date)"),
              "old|newest");
}

TEST(EditedCopy, IsMadeFromTheSnapshotTheConversationsCameFrom) {
    const auto source = buildSource(userFolder() / "chat.db", qbtest::JournalMode::wal);
    DatabaseManager manager;
    ASSERT_EQ(manager.openDatabase(source.file).size(), 2u);
    const auto snapshot = manager.snapshot();
    ASSERT_NE(snapshot, nullptr);
    {
        // Messages goes on writing after the load; the copy must match what the user saw and marked.
        auto db = SqliteDatabase::open(source.file, SQLITE_OPEN_READWRITE);
        db.exec("INSERT INTO message (guid, text, date) VALUES ('late', 'arrived later', 9)");
    }
    const auto target = userFolder() / "copy.db";
    saveCopy(source.file, target, {source.plain}, snapshot);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message"), 4);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message WHERE guid = 'late'"), 0);

    // A snapshot of another file is not used: a fresh one is taken of the source.
    const auto other = buildSource(userFolder() / "other.db");
    saveCopy(other.file, userFolder() / "other-copy.db", {}, snapshot);
    EXPECT_EQ(scalar(userFolder() / "other-copy.db", "SELECT COUNT(*) FROM message"), 5);
    saveCopy(source.file, target, {});
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message WHERE guid = 'late'"), 1);
}

TEST(EditedCopy, AMacDatabaseWithAPluginTriggerCanBeEdited) {
    const auto source = buildSource(userFolder() / "chat.db", qbtest::JournalMode::wal);
    std::int64_t plugin = 0;
    {
        // A recent Mac's chat.db: a trigger calling a function only Messages itself defines.
        auto db = SqliteDatabase::open(source.file, SQLITE_OPEN_READWRITE);
        db.exec("CREATE TRIGGER after_delete_on_message_plugin AFTER DELETE ON message WHEN OLD.balloon_bundle_id "
                "IS NOT NULL BEGIN SELECT after_delete_message_plugin(OLD.ROWID, OLD.guid); END");
        db.exec("INSERT INTO message (guid, text, date, balloon_bundle_id) VALUES ('poll', 'a poll', 7, "
                "'com.example.messages.poll')");
        plugin = db.lastInsertRowId();
    }
    const auto target = userFolder() / "copy.db";
    saveCopy(source.file, target, {source.plain});
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message"), 5);
    saveCopy(source.file, target, {plugin, source.withPhoto});
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message"), 4);
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM message WHERE balloon_bundle_id IS NOT NULL"), 0);
    EXPECT_EQ(text(target, "PRAGMA integrity_check"), "ok");
    // The copy keeps the trigger as it was, for the device the copy goes back to.
    EXPECT_EQ(scalar(target, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'after_delete_on_message_plugin'"), 1);
}

TEST(EditedCopy, FindsTheFunctionsATriggerCallsWithTheirArguments) {
    using quillobrandt::FunctionCall;
    using quillobrandt::functionCallsIn;
    EXPECT_EQ(functionCallsIn("CREATE TRIGGER t AFTER DELETE ON message WHEN OLD.balloon_bundle_id IS NOT NULL "
                              "BEGIN SELECT after_delete_message_plugin(OLD.ROWID, OLD.guid); END"),
              (std::vector<FunctionCall>{{"after_delete_message_plugin", 2}}));
    EXPECT_EQ(functionCallsIn("BEGIN INSERT INTO sync_deleted_messages (guid, recordID) VALUES (OLD.guid, "
                              "ifnull(OLD.ck_record_id, '')); SELECT \"quoted fn\"( ); -- fake(1)\n"
                              "/* hidden(1, 2) */ SELECT outer_fn(inner_fn(1, 2), 'a, b(c', (3)), x IN (1, 2) "
                              "FROM main.t(1); SELECT now(); END"),
              (std::vector<FunctionCall>{{"ifnull", 2}, {"quoted fn", 0}, {"outer_fn", 3}, {"inner_fn", 2},
                                         {"now", 0}}));
    EXPECT_TRUE(functionCallsIn("SELECT 'unterminated(1").empty());
    EXPECT_TRUE(functionCallsIn("/* unterminated f(1)").empty());
}
