#include "Quillobrandt/store/DatabaseManager.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Paths.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/MountNamespace.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using qbtest::MessagesDatabaseBuilder;
using quillobrandt::DatabaseError;
using storetest::load;
using storetest::userFolder;

namespace {

// Two one-to-one chats of `perChat` messages each.
void buildTwoChats(const fs::path& file, int perChat = 3) {
    MessagesDatabaseBuilder builder(file);
    for (const char* person : {"one@example.com", "two@example.com"}) {
        const auto chat = builder.addOneToOneChat(person);
        for (int i = 0; i < perChat; ++i) {
            builder.addMessageToChat(
                chat.chatId,
                {.text = std::string(person) + " message " + std::to_string(i), .date = i, .handleId = chat.handleId});
        }
    }
    builder.finish();
}

DatabaseError loadError(const fs::path& file) {
    try {
        load(file);
    } catch (const DatabaseError& error) {
        return error;
    }
    ADD_FAILURE() << "loaded " << file;
    return DatabaseError::databaseNotOpen();
}

// What `look` answers for a user without root's right to enter every folder: run as nobody in a child when the
// tests run as root, as they do in CI.
std::string asAnotherUserIfRoot(const std::function<std::string()>& look) {
    if (::geteuid() != 0) {
        return look();
    }
    // The test's own folders let others pass through, as a home folder does.
    for (auto folder = userFolder(); folder != qbtest::IsolatedHome::root().parent_path();
         folder = folder.parent_path()) {
        fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add);
    }
    return qbtest::answerFromChild(
        [&] { return ::setgid(65534) == 0 && ::setuid(65534) == 0 ? look() : std::string("still root"); });
}

} // namespace

TEST(DatabaseReaderBadInput, FilesThatCannotBeOpened) {
    const auto missing = userFolder() / "missing.db";
    const auto error = loadError(missing);
    EXPECT_EQ(error, DatabaseError::cannotOpenDatabase());
    EXPECT_STREQ(error.description(),
                 "Cannot open database file. Please make sure the file exists and that you are allowed to read it.");
    EXPECT_FALSE(fs::exists(missing)); // never created

    // Something other than a file says what it is; a pipe is never opened, so nothing waits for a writer.
    const auto pipe = userFolder() / "pipe.db";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const auto device = userFolder() / "device.db";
    fs::create_symlink("/dev/null", device);
    const auto dangling = userFolder() / "dangling.db";
    fs::create_symlink(userFolder() / "gone.db", dangling);
    const std::pair<fs::path, std::string> kinds[] = {
        {userFolder(), " is a folder, not a database file."},
        {pipe, " is a pipe (FIFO), not a database file."},
        {device, " is a device, not a database file."},
        {dangling, " is a link that leads nowhere, not a database file."}};
    for (const auto& [path, kind] : kinds) {
        const auto named = loadError(path);
        EXPECT_EQ(named, DatabaseError::notADatabaseFile(""));
        EXPECT_EQ(named.description(), path.string() + kind);
    }
    EXPECT_STREQ(DatabaseError::authorizationDenied().description(),
                 "Permission to read the Messages database was refused. Please check the file's permissions.");

    // A link into a folder the user may not enter leads somewhere: opening it says what to check, as for a file.
    const auto closed = userFolder() / "closed";
    fs::create_directories(closed);
    buildTwoChats(closed / "chat.db");
    const auto intoClosed = userFolder() / "into-closed.db";
    fs::create_symlink(closed / "chat.db", intoClosed);
    fs::permissions(closed, fs::perms::none);
    EXPECT_EQ(asAnotherUserIfRoot([&] {
                  struct stat link {};
                  return ::lstat(intoClosed.c_str(), &link) != 0
                             ? "the link itself cannot be seen"
                             : quillobrandt::whyNotADatabaseFile(intoClosed).value_or("nothing named");
              }),
              "nothing named");
    fs::permissions(closed, fs::perms::owner_all);
}

// Each unreadable file says what it is: the alert tells a text file from a damaged database.
TEST(DatabaseReaderBadInput, NotADatabaseAnEmptyFileATruncatedOneAndMissingTables) {
    const auto text = userFolder() / "notes.db";
    std::ofstream(text) << "These are my notes, not a database. They are long enough to fill a header or two.\n";
    const auto textBefore = storetest::fileBytes(text);
    EXPECT_EQ(loadError(text), DatabaseError::notMessagesDatabase());
    EXPECT_EQ(storetest::fileBytes(text), textBefore);

    const auto empty = userFolder() / "empty.db";
    std::ofstream{empty};
    EXPECT_EQ(loadError(empty), DatabaseError::notMessagesDatabase());

    const auto truncated = userFolder() / "truncated.db";
    buildTwoChats(truncated, 400);
    fs::resize_file(truncated, fs::file_size(truncated) / 2);
    const auto truncatedBefore = storetest::fileBytes(truncated);
    EXPECT_EQ(loadError(truncated), DatabaseError::damaged()) << "never a shorter history";
    EXPECT_EQ(storetest::fileBytes(truncated), truncatedBefore);
    EXPECT_EQ(std::string(DatabaseError::damaged().description()), "The database is damaged or incomplete.");
    EXPECT_EQ(std::string(DatabaseError::notMessagesDatabase().description()), "This file is not a Messages database.");

    // With none of the Messages tables it is some other program's database.
    const auto otherProgram = userFolder() / "other-program.db";
    platform::SqliteDatabase::open(otherProgram, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
        .exec("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT)");
    EXPECT_EQ(loadError(otherProgram), DatabaseError::notMessagesDatabase());
    // A Messages database without a table or column that nothing can be shown without says which; with the table
    // empty it is an empty history.
    const auto prefix = std::string("This Messages database has a layout this program cannot read: ");
    const std::pair<const char*, std::string> layouts[] = {
        {"DROP TABLE chat_handle_join", "it has no table chat_handle_join."},
        {"DROP TABLE chat_message_join", "it has no table chat_message_join."},
        {"ALTER TABLE message RENAME TO message_rows; CREATE VIEW message AS SELECT ROWID AS ROWID, text, "
         "attributedBody, is_from_me, handle_id FROM message_rows",
         "the table message has no column date."},
        {"ALTER TABLE message RENAME TO message_rows; CREATE VIEW message AS SELECT ROWID AS ROWID, date, "
         "is_from_me, handle_id FROM message_rows",
         "the table message has no column text nor attributedBody."},
        {"ALTER TABLE handle RENAME TO handle_rows; CREATE VIEW handle AS SELECT ROWID AS ROWID, service FROM "
         "handle_rows",
         "the table handle has no column id."},
        // A view SQLite cannot expand: every chat's members would have been an empty list.
        {"ALTER TABLE handle RENAME TO handle_rows; CREATE VIEW handle AS SELECT ROWID AS ROWID, id FROM handle_rows "
         "WHERE no_such_function(id)",
         "the table handle cannot be read (no such function: no_such_function)."},
    };
    for (const auto& [change, named] : layouts) {
        const auto file = userFolder() / "layout.db";
        buildTwoChats(file);
        platform::SqliteDatabase::open(file, SQLITE_OPEN_READWRITE)
            .exec(std::string("PRAGMA legacy_alter_table=ON;") + change);
        const auto error = loadError(file);
        EXPECT_EQ(error.code(), DatabaseError::Code::unreadableLayout) << change;
        EXPECT_EQ(error.description(), prefix + named) << change;
    }
    const auto noMembers = userFolder() / "no-members.db";
    buildTwoChats(noMembers);
    platform::SqliteDatabase::open(noMembers, SQLITE_OPEN_READWRITE).exec("DELETE FROM chat_handle_join");
    EXPECT_TRUE(load(noMembers).empty());
}

TEST(DatabaseReaderBadInput, SymlinkedFoldersAndASymlinkedDatabaseAreFollowed) {
    const auto real = userFolder() / "real";
    fs::create_directories(real);
    buildTwoChats(real / "chat.db");
    const auto linkedFolder = qbtest::IsolatedHome::root() / "home" / "linked";
    fs::create_directory_symlink(real, linkedFolder);
    EXPECT_EQ(load(linkedFolder / "chat.db").size(), 2u);

    // The snapshot is of the file the link names.
    const auto linkedFile = userFolder() / "link.db";
    fs::create_symlink(real / "chat.db", linkedFile);
    EXPECT_EQ(load(linkedFile).size(), 2u);
    fs::create_symlink(real / "missing.db", userFolder() / "dangling.db");
    EXPECT_EQ(loadError(userFolder() / "dangling.db"), DatabaseError::notADatabaseFile(""));
}

TEST(DatabaseReaderBadInput, AFailingStepInTheChatListFailsTheLoad) {
    const auto file = userFolder() / "chat.db";
    buildTwoChats(file);
    {
        auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READWRITE);
        // Reading the second row raises a run-time error, as a corrupt page would.
        db.exec("ALTER TABLE chat RENAME TO chat_rows;"
                "CREATE VIEW chat AS SELECT ROWID AS ROWID, CASE WHEN ROWID = 1 THEN abs(-9223372036854775807 - 1) "
                "ELSE chat_identifier END "
                "AS chat_identifier, style, display_name FROM chat_rows");
    }
    EXPECT_EQ(loadError(file), DatabaseError::queryFailed());
}

TEST(DatabaseReaderBadInput, AFailingStepInAChatsMessagesFailsTheLoad) {
    const auto file = userFolder() / "chat.db";
    buildTwoChats(file);
    {
        auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READWRITE);
        db.exec("PRAGMA legacy_alter_table=ON;"
                "ALTER TABLE message RENAME TO message_rows;"
                "CREATE VIEW message AS SELECT m.ROWID AS ROWID, CASE WHEN j.chat_id = 1 THEN abs(-9223372036854775807 "
                "- 1) ELSE m.text "
                "END AS text, m.date AS date, m.is_from_me AS is_from_me, m.handle_id AS handle_id, "
                "m.associated_message_guid AS associated_message_guid, "
                "m.associated_message_type AS associated_message_type, m.attributedBody AS attributedBody "
                "FROM message_rows m JOIN chat_message_join j ON j.message_id = m.ROWID");
    }
    // One conversation fewer would look like a history without it.
    EXPECT_EQ(loadError(file), DatabaseError::queryFailed());
    EXPECT_NE(quillobrandt::Logger::shared().getAllLogs().find("[ERROR] ❌ Failed to read messages of chat 1: "),
              std::string::npos);
}

TEST(DatabaseReaderBadInput, NewestRowsThatOnlyLiveInTheWriteAheadLog) {
    const auto build = [](const fs::path& file) {
        MessagesDatabaseBuilder builder(file, qbtest::JournalMode::wal);
        const auto chat = builder.addOneToOneChat("+15550000007");
        builder.addMessageToChat(chat.chatId, {.text = "checkpointed", .date = 1, .handleId = chat.handleId});
        builder.checkpoint();
        builder.addMessageToChat(chat.chatId, {.text = "only in the log", .date = 2, .isFromMe = 1});
        builder.finishLeavingWal();
    };
    // The user's own database: read only, and its file stays exactly as it was.
    const auto users = userFolder() / "chat.db";
    build(users);
    const auto before = storetest::fileBytes(users);
    auto conversations = load(users);
    ASSERT_EQ(conversations.size(), 1u);
    EXPECT_EQ(conversations[0].messages.back().text, "only in the log");
    EXPECT_EQ(storetest::fileBytes(users), before);

    // A working copy in the private temporary folder: read-write, the log is folded into the file.
    const auto copy = platform::privateTempDir() / "copy" / "chat.db";
    fs::create_directories(copy.parent_path());
    build(copy);
    conversations = load(copy);
    ASSERT_EQ(conversations.size(), 1u);
    EXPECT_EQ(conversations[0].messageCount, 2);
    EXPECT_FALSE(fs::exists(copy.string() + "-wal"));
}
