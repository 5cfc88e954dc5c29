#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stop_token>
#include <thread>

#include "Quillobrandt/main/MessagesFolderImport.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/Paths.h"
#include "tests/store/LiveWriter.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/MountNamespace.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
namespace folder = quillobrandt::messages_folder;
using quillobrandt::DatabaseError;

namespace {

std::size_t messageCount(const std::vector<quillobrandt::Conversation>& conversations) {
    std::size_t count = 0;
    for (const auto& conversation : conversations) {
        count += conversation.messages.size();
    }
    return count;
}

// Everything below `folder`, however deep (a copy of ours, or one left by an earlier program).
std::size_t entriesBelow(const fs::path& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        ++count;
    }
    return count;
}

// A Messages folder as copied off a Mac while Messages ran: the second chat's rows only in "chat.db-wal", with
// its "-shm", and a picture in the folder's Attachments.
fs::path buildMessagesFolder(const fs::path& source) {
    fs::create_directories(source / "Attachments" / "ab");
    std::ofstream(source / "Attachments" / "ab" / "photo.jpg") << "picture";
    qbtest::MessagesDatabaseBuilder builder(source / "chat.db", qbtest::JournalMode::wal);
    const auto ann = builder.addOneToOneChat("ann@example.com");
    const auto photo =
        builder.addMessageToChat(ann.chatId, {.text = "checkpointed", .date = 1, .handleId = ann.handleId});
    builder.addMessageAttachment(photo,
                                 builder.addAttachment({.filename = "~/Library/Messages/Attachments/ab/photo.jpg"}));
    builder.checkpoint();
    const auto bob = builder.addOneToOneChat("bob@example.com");
    builder.addMessageToChat(bob.chatId, {.text = "only in the log", .date = 2, .handleId = bob.handleId});
    builder.finishLeavingWal();
    return source;
}

TEST(MessagesFolderImport, LoadsTheFolderFromAPrivateCopyWithItsLogAndTheFolderAsAttachmentBase) {
    const fs::path source = buildMessagesFolder(qbtest::IsolatedHome::root() / "Messages");
    ASSERT_TRUE(fs::exists(source / "chat.db-wal"));
    ASSERT_TRUE(folder::containsDatabase(source));
    const auto before = storetest::folderListing(source);

    storetest::ProgressRecorder progress;
    const auto conversations = folder::load(source, progress.callback());
    EXPECT_EQ(conversations.size(), 2u) << "the chat kept only in the log must be loaded too";
    EXPECT_EQ(messageCount(conversations), 2u);
    const auto* ann = storetest::findById(conversations, "1");
    ASSERT_NE(ann, nullptr);
    ASSERT_EQ(ann->messages.front().attachments.size(), 1u);
    EXPECT_EQ(ann->messages.front().attachments.front().filePath,
              (source / "Attachments" / "ab" / "photo.jpg").string());
    EXPECT_GT(progress.dropCopying(), 0u) << "not loaded from a copy";
    EXPECT_EQ(storetest::folderListing(source), before) << "the picked folder changed";
    EXPECT_EQ(entriesBelow(platform::privateTempDir()), 0u) << "the copy outlived the load";
}

TEST(MessagesFolderImport, MissingDatabaseIsReportedAndLeavesNoPartialCopy) {
    const fs::path root = qbtest::IsolatedHome::root();
    EXPECT_FALSE(folder::containsDatabase(root / "empty"));
    fs::create_directories(root / "odd" / "chat.db"); // a folder by that name is not a database
    EXPECT_FALSE(folder::containsDatabase(root / "odd"));
    fs::create_directories(root / "empty");
    EXPECT_THROW(folder::load(root / "empty", {}), DatabaseError);
    EXPECT_EQ(entriesBelow(platform::privateTempDir()), 0u);
}

TEST(MessagesFolderImport, ImportingAFolderWhoseDatabaseIsReadInPlaceLeavesTheReadsLockInPlace) {
    // Closing any descriptor of a file drops every lock this process holds on it: the import's copy of a chat.db that
    // a load on another thread reads where it lies must wait for that read, or a writer could change the file under
    // it.
    const fs::path source = storetest::userFolder() / "Messages";
    const fs::path file = source / "chat.db";
    fs::create_directories(source);
    {
        qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::rollback);
        for (int c = 0; c < 3; ++c) {
            const auto chat = builder.addOneToOneChat("person" + std::to_string(c) + "@example.com");
            builder.addMessageToChat(chat.chatId, {.text = "as written", .date = 1, .handleId = chat.handleId});
        }
        builder.finish();
    }
    const std::string original = storetest::fileBytes(file);

    storetest::PausedLoad load(file);
    std::atomic<bool> imported = false;
    std::vector<quillobrandt::Conversation> importedConversations;
    std::thread importer([&] {
        importedConversations = folder::load(source, {});
        imported = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(imported) << "the import did not wait for the read";
    // A stopped import gives up waiting.
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(folder::load(source, {}, stopped.get_token()), DatabaseError);

    // A writer in another process, in rollback-journal mode, that will not wait: the read's shared lock keeps it out.
    const std::string writer = "sqlite3 '" + file.string() +
                               "' 'PRAGMA busy_timeout=0; UPDATE message SET text = upper(text);' >/dev/null 2>&1";
    EXPECT_NE(std::system(writer.c_str()), 0) << "a writer changed the database under the read";

    load.finish();
    importer.join();
    EXPECT_FALSE(load.error()) << load.error()->description();
    EXPECT_EQ(load.conversations().size(), 3u);
    EXPECT_TRUE(imported);
    ASSERT_EQ(importedConversations.size(), 3u);
    for (const auto& list : {load.conversations(), importedConversations}) {
        for (const auto& conversation : list) {
            EXPECT_EQ(conversation.messages.front().text, "as written") << conversation.id;
        }
    }
    EXPECT_TRUE(storetest::fileBytes(file) == original) << "the database changed";
}

TEST(MessagesFolderImport, AFolderTheMessagesAppWritesLoadsWholeOrIsRefusedAsChanging) {
    // Messages writes its chat.db in WAL mode and checkpoints often. Copying the database, its log and its index one
    // after the other mixed two states whenever a checkpoint fell between the copies: the import then failed as
    // damaged, or loaded from a copy that fails SQLite's check. Each import is now one committed state, or refused.
    const fs::path source = qbtest::IsolatedHome::root() / "Messages";
    fs::create_directories(source);
    // Large enough that copying it takes a while, as a real history's does.
    qbtest::buildBulkMessagesDatabase(source / "chat.db",
                                      {.chats = 20, .messagesPerChat = 500, .journal = qbtest::JournalMode::wal});
    const auto baseline = folder::load(source, {});
    ASSERT_FALSE(baseline.empty());

    const storetest::LiveWriter writer(source / "chat.db", std::stoll(baseline.front().id));
    int whole = 0;
    int refused = 0;
    int wrong = 0;
    for (int i = 0; i < 100; ++i) {
        try {
            const auto conversations = folder::load(source, {});
            const auto live = storetest::liveRun(conversations);
            if (storetest::isOneCommittedState(live, conversations, baseline)) {
                ++whole;
            } else {
                ++wrong;
                std::cout << "wrong import: " << conversations.size() << " chats, " << live.size() << " live messages "
                          << (live.empty() ? 0 : live.front()) << "..." << (live.empty() ? 0 : live.back()) << "\n";
            }
        } catch (const DatabaseError& error) {
            if (error == DatabaseError::beingChanged()) {
                ++refused;
            } else {
                ++wrong;
                std::cout << "failed import: " << error.description() << "\n";
            }
        }
    }
    std::cout << "imports beside a WAL writer: " << whole << " whole, " << refused << " refused, " << wrong << " wrong"
              << std::endl;
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(whole, 0);
}

TEST(MessagesFolderImport, ASmallTemporaryFolderFallsBackToTheCachesAndThenNamesTheFolder) {
    const fs::path source = qbtest::IsolatedHome::root() / "Messages";
    fs::create_directories(source);
    qbtest::buildBulkMessagesDatabase(source / "chat.db",
                                      {.chats = 20, .messagesPerChat = 400, .journal = qbtest::JournalMode::wal});
    const auto answer = qbtest::inOwnMountNamespace([&] {
        const auto smallTemp = qbtest::IsolatedHome::root() / "small-tmp";
        qbtest::mountTmpfs(smallTemp, "size=1m");
        ::setenv("TMPDIR", smallTemp.c_str(), 1);
        std::string result = std::to_string(folder::load(source, {}).size()) + " chats; ";
        qbtest::mountTmpfs(platform::cachesDir(), "size=1m");
        try {
            folder::load(source, {});
            return result + "loaded";
        } catch (const DatabaseError& error) {
            return result + error.description();
        }
    });
    if (!answer) {
        GTEST_SKIP() << "no mount namespace on this machine";
    }
    EXPECT_EQ(answer->rfind("20 chats; There is not enough free space in \"", 0), 0u) << *answer;
    EXPECT_NE(answer->find("small-tmp"), std::string::npos) << *answer;
    EXPECT_NE(answer->find("MB are free"), std::string::npos) << *answer;
}

} // namespace
