#include "Quillobrandt/store/DatabaseManager.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/core/Paths.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using qbtest::MessagesDatabaseBuilder;
using quillobrandt::DatabaseError;
using quillobrandt::DatabaseManager;
using storetest::findById;
using storetest::load;

namespace {

// The user's own files live outside the temporary folder and are therefore read only.
fs::path userDatabase(const std::string& name = "chat.db") {
    const auto folder = qbtest::IsolatedHome::root() / "home" / "Library" / "Messages";
    fs::create_directories(folder);
    return folder / name;
}

std::vector<std::optional<std::string>> textsOf(const quillobrandt::Conversation& conversation) {
    std::vector<std::optional<std::string>> texts;
    for (const auto& message : conversation.messages) {
        texts.push_back(message.text);
    }
    return texts;
}

} // namespace

TEST(DatabaseReaderOrdering, KeepsChatsWithMembersAndMessagesInDateOrder) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        const auto alice = builder.addOneToOneChat("alice@example.com");
        builder.addMessageToChat(alice.chatId, {.text = "second", .date = 20, .handleId = alice.handleId});
        builder.addMessageToChat(alice.chatId, {.text = "first", .date = 10, .handleId = alice.handleId});
        builder.addMessageToChat(alice.chatId, {.text = "third", .date = 30, .isFromMe = 1});

        const auto noMembers = builder.addChat({.chatIdentifier = "ghost"});
        builder.addMessageToChat(noMembers, {.text = "orphan", .date = 5});
        builder.addOneToOneChat("+15550000001"); // members, no messages

        const auto group = builder.addChat({.chatIdentifier = "chat123", .displayName = "Team", .style = 43});
        builder.addChatHandle(group, builder.addHandle("zed@example.com"));
        builder.addChatHandle(group, builder.addHandle("+15550000002"));
        builder.addMessageToChat(group, {.text = "hello team", .date = 40, .isFromMe = 1});

        const auto bob = builder.addOneToOneChat("bob@example.com");
        builder.addMessageToChat(bob.chatId, {.text = "hi bob", .date = 50, .isFromMe = 1});
        builder.finish();
    }
    const auto before = storetest::fileBytes(file);
    const auto conversations = load(file);
    EXPECT_EQ(storetest::fileBytes(file), before);

    ASSERT_EQ(conversations.size(), 3u);
    // One-to-one chats come newest chat first, group chats after them.
    EXPECT_EQ(conversations[0].participants, std::vector<std::string>{"bob@example.com"});
    EXPECT_EQ(conversations[1].participants, std::vector<std::string>{"alice@example.com"});
    EXPECT_EQ(conversations[2].participants, (std::vector<std::string>{"+15550000002", "zed@example.com"}));
    const auto& alice = conversations[1];
    EXPECT_EQ(alice.id, "1");
    EXPECT_EQ(alice.messageCount, 3);
    EXPECT_EQ(textsOf(alice), (std::vector<std::optional<std::string>>{"first", "second", "third"}));
}

TEST(DatabaseReaderOrdering, KeepsAChatWithoutIdentifierAndSkipsAttachmentsWithoutName) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        const auto handle = builder.addHandle("+15550000003");
        const auto chat = builder.addChat({.chatIdentifier = std::nullopt, .guid = "SMS;-;unknown"});
        builder.addChatHandle(chat, handle);
        const auto message = builder.addMessageToChat(chat, {.text = "\xEF\xBF\xBC", .date = 1, .handleId = handle});
        builder.addMessageAttachment(message,
                                     builder.addAttachment({.filename = std::nullopt, .mimeType = "image/png"}));
        builder.addMessageAttachment(message, builder.addAttachment({.filename = "/var/mobile/Library/SMS/Attachments/"
                                                                                 "ab/01/X/first.pdf"}));
        builder.addMessageAttachment(message, builder.addAttachment({.filename = "~/Library/SMS/Attachments/ab/01/Y/"
                                                                                 "second.HEIC",
                                                                     .mimeType = "image/heic"}));
        builder.finish();
    }
    const auto conversations = load(file);
    ASSERT_EQ(conversations.size(), 1u);
    const auto& attachments = conversations[0].messages.at(0).attachments;
    ASSERT_EQ(attachments.size(), 2u);
    EXPECT_EQ(attachments[0].filename, "first.pdf");
    EXPECT_FALSE(attachments[0].mimeType.has_value());
    // An absolute device name is placed as a "~/" one: not found beside the database, it is the home folder's.
    EXPECT_EQ(attachments[0].filePath, (platform::homeDir() / "Library/SMS/Attachments/ab/01/X/first.pdf").string());
    EXPECT_EQ(attachments[1].filename, "second.HEIC");
    EXPECT_EQ(attachments[1].mimeType, "image/heic");
    EXPECT_TRUE(conversations[0].messages[0].hasImageAttachment());
}

// A message may belong to two chats; a crafted join table without its key may even list it twice in one. Every row
// of it carries its whole attachment, never an empty one.
TEST(DatabaseReaderOrdering, AMessageInTwoChatsOrListedTwiceKeepsItsAttachment) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        const auto alice = builder.addOneToOneChat("alice@example.com");
        const auto group = builder.addChat({.chatIdentifier = "chat9", .style = 43});
        builder.addChatHandle(group, alice.handleId);
        builder.addChatHandle(group, builder.addHandle("bob@example.com"));
        const auto photo = builder.addMessageToChat(alice.chatId, {.text = "\xEF\xBF\xBC", .date = 1, .isFromMe = 1});
        builder.addChatMessage(group, photo);
        builder.addMessageAttachment(photo, builder.addAttachment({.filename = "~/Library/Messages/Attachments/p.jpg",
                                                                   .mimeType = "image/jpeg"}));
        builder.database().exec("PRAGMA legacy_alter_table=ON; CREATE TABLE keyless AS SELECT * FROM chat_message_join;"
                                "INSERT INTO keyless SELECT * FROM chat_message_join WHERE chat_id = " +
                                std::to_string(alice.chatId) +
                                ";"
                                "DROP TABLE chat_message_join; ALTER TABLE keyless RENAME TO chat_message_join");
        builder.finish();
    }
    const auto conversations = load(file);
    ASSERT_EQ(conversations.size(), 2u);
    std::size_t rows = 0;
    for (const auto& conversation : conversations) {
        for (const auto& message : conversation.messages) {
            ++rows;
            ASSERT_FALSE(message.attachments.empty());
            for (const auto& attachment : message.attachments) {
                EXPECT_EQ(attachment.filename, "p.jpg") << "chat " << conversation.id;
                EXPECT_EQ(attachment.mimeType, "image/jpeg") << "chat " << conversation.id;
            }
        }
    }
    EXPECT_EQ(rows, 3u); // once in the group, twice where the join table lists it twice
}

TEST(DatabaseReaderOrdering, AnAttachmentNamedOutsideEveryAttachmentFolderYieldsNoFile) {
    // A file beside the database's folder, reached by climbing from the base folder or from the home folder, by an
    // absolute name, or in the user's home folder outside the Messages app's folders.
    const auto file = userDatabase();
    const fs::path secret = file.parent_path().parent_path() / "outside" / "secret.jpg";
    const fs::path homeSecret = qbtest::IsolatedHome::root() / "outside" / "secret.jpg";
    const fs::path picture = platform::homeDir() / "Pictures" / "private.jpg";
    for (const auto& planted : {secret, homeSecret, picture}) {
        fs::create_directories(planted.parent_path());
        std::ofstream(planted) << "not yours";
    }
    const std::vector<std::string> names = {"~/../outside/secret.jpg", homeSecret.string(), "/etc/passwd", "/",
                                            "~/Pictures/private.jpg"};
    {
        MessagesDatabaseBuilder builder(file);
        const auto handle = builder.addHandle("+15550000004");
        const auto chat = builder.addChat({.chatIdentifier = "+15550000004"});
        builder.addChatHandle(chat, handle);
        const auto message = builder.addMessageToChat(chat, {.text = "\xEF\xBF\xBC", .date = 1, .handleId = handle});
        for (const auto& name : names) {
            builder.addMessageAttachment(message, builder.addAttachment({.filename = name, .mimeType = "image/jpeg"}));
        }
        builder.finish();
    }
    const auto conversations = load(file);
    ASSERT_EQ(conversations.size(), 1u);
    const auto& attachments = conversations[0].messages.at(0).attachments;
    ASSERT_EQ(attachments.size(), names.size());
    EXPECT_EQ(attachments[0].filename, "secret.jpg");
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        EXPECT_EQ(attachments[i].filePath, "") << names[i];
    }
    // A home name outside the Messages folders is looked for in the database's folder only.
    EXPECT_EQ(attachments.back().filePath, (file.parent_path() / "Pictures/private.jpg").string());
}

TEST(DatabaseReaderValues, DatesInSecondsAndNanoseconds) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        const auto chat = builder.addOneToOneChat("+15550000004");
        builder.addMessageToChat(chat.chatId, {.text = "seconds", .date = 700'000'000});
        builder.addMessageToChat(chat.chatId, {.text = "nanoseconds", .date = 700'000'000'000'000'000});
        builder.addMessageToChat(chat.chatId, {.text = "threshold", .date = 1'000'000'000'000});
        builder.addMessageToChat(chat.chatId, {.text = "fraction", .date = qbtest::storedNanoseconds(600'000'000.25)});
        builder.finish();
    }
    const auto messages = load(file).at(0).messages;
    std::map<std::string, double> seconds;
    for (const auto& message : messages) {
        seconds[*message.text] = message.date.secondsSinceReferenceDate;
    }
    EXPECT_DOUBLE_EQ(seconds["seconds"], 7e8);
    EXPECT_DOUBLE_EQ(seconds["nanoseconds"], 7e8);
    EXPECT_DOUBLE_EQ(seconds["threshold"], 1e12); // exactly 10^12 is still seconds
    EXPECT_NEAR(seconds["fraction"], 600'000'000.25, 1e-6);
}

TEST(DatabaseReaderValues, SendersTextsAndReactions) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        const auto chat = builder.addOneToOneChat("+15550000005");
        builder.addMessageToChat(chat.chatId, {.text = "from them", .date = 1, .handleId = chat.handleId});
        builder.addMessageToChat(chat.chatId, {.text = "mine", .date = 2, .isFromMe = 1});
        builder.addMessageToChat(chat.chatId, {.text = "nobody", .date = 3, .isFromMe = 0});
        builder.addMessageToChat(chat.chatId, {.text = "two", .date = 4, .isFromMe = 2});
        builder.addMessageToChat(chat.chatId, {.text = "gone handle", .date = 5, .handleId = 999});
        // An empty stored text is kept; the body beside it is not decoded.
        builder.addMessageToChat(
            chat.chatId, {.text = "", .attributedBody = qbtest::typedStreamAttributedString("body"), .date = 6});
        builder.addMessageToChat(chat.chatId, {.text = std::nullopt, .date = 7});
        builder.addMessageToChat(
            chat.chatId,
            {.text = "liked", .date = 8, .associatedMessageGuid = "p:0/ABC", .associatedMessageType = 2000});
        builder.addMessageToChat(chat.chatId, {.text = "null type", .date = 9, .associatedMessageType = std::nullopt});
        builder.addMessageToChat(
            chat.chatId,
            {.text = std::nullopt, .attributedBody = qbtest::typedStreamAttributedString("archived ✓"), .date = 10});
        builder.addMessageToChat(
            chat.chatId,
            {.text = std::nullopt, .attributedBody = std::vector<std::uint8_t>{0x04, 0x0B, 0xFF}, .date = 11});
        // The type is a 32-bit value: what lies above it is not part of it.
        builder.addMessageToChat(
            chat.chatId, {.text = "wide type", .date = 12, .associatedMessageType = (std::int64_t{1} << 32) + 2001});
        const auto other = builder.addOneToOneChat("+15550000015");
        builder.addMessageToChat(other.chatId, {.text = "mine too", .date = 13, .isFromMe = 1});
        builder.addMessageToChat(other.chatId, {.text = "nobody either", .date = 14, .isFromMe = 0});
        builder.finish();
    }
    const auto conversations = load(file);
    ASSERT_EQ(conversations.size(), 2u);
    const auto& messages = conversations.at(1).messages; // the older chat comes second
    ASSERT_EQ(messages.size(), 12u);
    EXPECT_EQ(messages[0].sender, "+15550000005");
    EXPECT_FALSE(messages[0].isFromMe);
    EXPECT_EQ(messages[1].sender, "Me");
    EXPECT_TRUE(messages[1].isFromMe);
    EXPECT_EQ(messages[2].sender, "Unknown");
    EXPECT_EQ(messages[3].sender, "Unknown"); // only exactly 1 means "from me"
    EXPECT_FALSE(messages[3].isFromMe);
    EXPECT_EQ(messages[4].sender, "Unknown");
    // A chat's messages share their senders' texts: a million messages must not hold a million copies.
    EXPECT_TRUE(messages[2].sender.sharesBufferWith(messages[3].sender));
    EXPECT_TRUE(messages[2].sender.sharesBufferWith(messages[4].sender));
    EXPECT_FALSE(messages[1].sender.sharesBufferWith(messages[2].sender));
    EXPECT_EQ(messages[5].text, std::optional<std::string>("")); // an empty stored text stays empty
    EXPECT_FALSE(messages[6].text.has_value());
    EXPECT_EQ(messages[7].associatedMessageGUID, "p:0/ABC");
    EXPECT_EQ(messages[7].associatedMessageType, 2000);
    EXPECT_FALSE(messages[0].associatedMessageType.has_value());
    EXPECT_FALSE(messages[0].associatedMessageGUID.has_value());
    EXPECT_FALSE(messages[8].associatedMessageType.has_value());
    EXPECT_EQ(messages[9].text, "archived ✓");   // NULL text: the archived body speaks
    EXPECT_FALSE(messages[10].text.has_value()); // a body that does not decode gives no text
    EXPECT_EQ(messages[11].associatedMessageType, 2001);
    // "Me" and "Unknown" are one text for the whole history, not one per chat.
    const auto& otherMessages = conversations.at(0).messages;
    ASSERT_EQ(otherMessages.size(), 2u);
    EXPECT_TRUE(otherMessages[0].sender.sharesBufferWith(messages[1].sender));
    EXPECT_TRUE(otherMessages[1].sender.sharesBufferWith(messages[2].sender));
}

TEST(DatabaseReaderValues, RowIdsBeyondThirtyTwoBitsSurvive) {
    const auto file = userDatabase();
    constexpr std::int64_t chatId = 5'000'000'001;
    constexpr std::int64_t messageId = 4'294'967'297; // 2^32 + 1: a 32-bit read would give 1
    constexpr std::int64_t attachmentId = 3'000'000'000;
    {
        MessagesDatabaseBuilder builder(file);
        const auto handle = builder.addHandle("+15550000006");
        builder.addChat({.rowId = chatId, .chatIdentifier = "+15550000006"});
        builder.addChatHandle(chatId, handle);
        builder.addMessageToChat(chatId, {.rowId = 1, .text = "small", .date = 1});
        builder.addMessageToChat(chatId, {.rowId = messageId, .text = "large", .date = 2});
        builder.addAttachment({.rowId = attachmentId, .filename = "a.jpg"});
        builder.addMessageAttachment(messageId, attachmentId);
        builder.finish();
    }
    const auto conversations = load(file);
    ASSERT_EQ(conversations.size(), 1u);
    EXPECT_EQ(conversations[0].id, "5000000001");
    ASSERT_EQ(conversations[0].messages.size(), 2u);
    EXPECT_EQ(conversations[0].messages[0].id, 1);
    EXPECT_TRUE(conversations[0].messages[0].attachments.empty());
    EXPECT_EQ(conversations[0].messages[1].id, messageId);
    ASSERT_EQ(conversations[0].messages[1].attachments.size(), 1u);
    EXPECT_EQ(conversations[0].messages[1].attachments[0].id, attachmentId);
}

TEST(DatabaseReaderProgress, AnEmptyDatabaseReportsCountMergeAndComplete) {
    const auto file = userDatabase();
    MessagesDatabaseBuilder(file).finish();
    storetest::ProgressRecorder recorder;
    EXPECT_TRUE(load(file, recorder.callback()).empty());
    EXPECT_EQ(recorder.dropCopying(), 0u); // read where it lies: nothing copied first
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"Counting conversations...",
                                                             "Merging duplicate conversations...", "Complete"}));
    EXPECT_EQ(recorder.events[0].fraction, 0.0);
    EXPECT_EQ(recorder.events[1].fraction, 0.95);
    EXPECT_EQ(recorder.events[2].fraction, 1.0);
    for (const auto& event : recorder.events) {
        EXPECT_FALSE(event.subMessage.has_value());
        EXPECT_FALSE(event.subFraction.has_value());
    }
}

TEST(DatabaseReaderProgress, ChatsWithoutMembersStillReportEachChat) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        builder.addMessageToChat(builder.addChat({.chatIdentifier = "a"}), {.text = "x", .date = 1});
        builder.addMessageToChat(builder.addChat({.chatIdentifier = "b"}), {.text = "y", .date = 2});
        builder.finish();
    }
    storetest::ProgressRecorder recorder;
    EXPECT_TRUE(load(file, recorder.callback()).empty());
    recorder.dropCopying();
    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string>{"Counting conversations...", "Loading conversations 1 of 2...",
                                        "Loading conversations 2 of 2...", "Merging duplicate conversations...",
                                        "Complete"}));
    // Each chat reports the share of the chats read before it, so the bar never reaches the end early and never
    // goes back to the merge's 0.95.
    EXPECT_EQ(recorder.events[1].fraction, 0.0);
    EXPECT_EQ(recorder.events[2].fraction, 0.475);
    EXPECT_EQ(recorder.events[3].fraction, 0.95);
    for (std::size_t i = 1; i < recorder.events.size(); ++i) {
        EXPECT_GE(recorder.events[i].fraction, recorder.events[i - 1].fraction) << recorder.events[i].message;
    }
}

// Many small chats are not reported one by one (a progress report crosses to the GUI thread): the first and the
// last chat are, those between at most every few milliseconds.
TEST(DatabaseReaderProgress, ManySmallChatsAreReportedAtAPaceNotEach) {
    const auto file = userDatabase();
    constexpr int kChats = 1500;
    qbtest::buildBulkMessagesDatabase(file, {.chats = kChats, .messagesPerChat = 2});
    storetest::ProgressRecorder recorder;
    EXPECT_EQ(load(file, recorder.callback()).size(), static_cast<std::size_t>(kChats));
    recorder.dropCopying();
    const auto messages = recorder.messages();
    ASSERT_GE(messages.size(), 5u);
    EXPECT_EQ(messages[1], "Loading conversations 1 of 1500...");
    EXPECT_EQ(messages[messages.size() - 3], "Loading conversations 1500 of 1500...");
    EXPECT_LT(messages.size(), static_cast<std::size_t>(kChats) / 2) << "every chat was reported";
}

TEST(DatabaseReaderProgress, LargeChatsReportEveryHundredthMessage) {
    const auto file = userDatabase();
    {
        MessagesDatabaseBuilder builder(file);
        const auto small = builder.addOneToOneChat("small@example.com");
        for (int i = 0; i < 999; ++i) {
            builder.addMessageToChat(small.chatId, {.text = "s", .date = i});
        }
        const auto big = builder.addOneToOneChat("big@example.com"); // the higher row id is read first
        for (int i = 0; i < 1500; ++i) {
            builder.addMessageToChat(big.chatId, {.text = "b", .date = i});
        }
        builder.finish();
    }
    storetest::ProgressRecorder recorder;
    const auto conversations = load(file, recorder.callback());
    ASSERT_EQ(conversations.size(), 2u);
    recorder.dropCopying();

    const auto sub = recorder.subProgress();
    ASSERT_EQ(sub.size(), 15u); // the chat of 999 reports none
    for (std::size_t k = 0; k < sub.size(); ++k) {
        const auto row = (k + 1) * 100;
        EXPECT_EQ(sub[k].message, "Loading conversation...");
        EXPECT_EQ(sub[k].fraction, 0.0); // the big chat is the first of two read
        EXPECT_EQ(sub[k].subMessage, "Loading message " + std::to_string(row) + " of 1500...");
        EXPECT_DOUBLE_EQ(*sub[k].subFraction, static_cast<double>(row) / 1500.0);
    }
    // The sub-progress sits between the big chat's own row and the next chat's.
    EXPECT_EQ(recorder.events[1].message, "Loading conversations 1 of 2...");
    EXPECT_EQ(recorder.events[17].message, "Loading conversations 2 of 2...");
}

TEST(DatabaseReaderState, ClosesAfterSuccessAndKeepsTheConnectionAfterAFailedLoad) {
    const auto good = userDatabase("good.db");
    {
        MessagesDatabaseBuilder builder(good);
        const auto chat = builder.addOneToOneChat("x@example.com");
        builder.addMessageToChat(chat.chatId, {.text = "t", .date = 1});
        builder.finish();
    }
    DatabaseManager manager;
    EXPECT_EQ(manager.openDatabase(good).size(), 1u);
    EXPECT_FALSE(manager.isOpen());
    EXPECT_EQ(manager.databaseURL(), good);
    EXPECT_EQ(manager.attachmentBaseURL(), good.parent_path());
    EXPECT_THROW(manager.loadConversations(), DatabaseError);

    // A snapshot's connection stays open after a failure; a file read where it lies is let go at once, so that
    // the program writing it is not kept waiting.
    for (const auto mode : {qbtest::JournalMode::wal, qbtest::JournalMode::rollback}) {
        const bool wal = mode == qbtest::JournalMode::wal;
        const auto noChatTable = userDatabase(wal ? "nochat-wal.db" : "nochat.db");
        {
            MessagesDatabaseBuilder builder(noChatTable, mode);
            builder.database().exec("DROP TABLE chat");
            builder.finish();
        }
        try {
            manager.openDatabase(noChatTable, fs::path("/elsewhere"));
            FAIL() << "a database without chats loaded";
        } catch (const DatabaseError& error) {
            EXPECT_EQ(error, DatabaseError::unreadableLayout("it has no table chat"));
            EXPECT_STREQ(error.description(),
                         "This Messages database has a layout this program cannot read: it has no table chat.");
        }
        EXPECT_EQ(manager.isOpen(), wal);
        EXPECT_EQ(manager.attachmentBaseURL(), fs::path("/elsewhere"));
        if (!wal) {
            // Nobody holds the file: a writer gets its exclusive lock at once.
            auto writer = platform::SqliteDatabase::open(noChatTable, SQLITE_OPEN_READWRITE);
            EXPECT_EQ(writer.tryExec("BEGIN EXCLUSIVE; COMMIT;"), SQLITE_OK);
        }
        EXPECT_EQ(manager.openDatabase(good).size(), 1u); // the next open closes the failed one first
        EXPECT_FALSE(manager.isOpen());
    }
}

TEST(DatabaseReaderState, AStopRequestEndsTheLoadBeforeTheNextChat) {
    const auto file = userDatabase("stop.db");
    {
        MessagesDatabaseBuilder builder(file);
        for (const char* handle : {"a@example.com", "b@example.com", "c@example.com"}) {
            const auto chat = builder.addOneToOneChat(handle);
            builder.addMessageToChat(chat.chatId, {.text = "t", .date = 1});
        }
        builder.finish();
    }
    // Asked from the progress of the first chat, as a quitting program asks from another thread.
    DatabaseManager manager;
    std::vector<std::string> lines;
    const auto stopAfterFirstChat = [&](const std::string& message, double, const std::optional<std::string>&,
                                        std::optional<double>) {
        lines.push_back(message);
        if (message == "Loading conversations 1 of 3...") {
            manager.requestStop();
        }
    };
    try {
        manager.openDatabase(file, std::nullopt, stopAfterFirstChat);
        FAIL() << "a stopped load returned conversations";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::stopped());
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Loading conversations 1 of 3...") << "nothing is read after the stop";

    // A token handed in before the load stops it the same way; a fresh manager without one reads everything.
    std::stop_source source;
    source.request_stop();
    DatabaseManager stopped;
    stopped.setStopToken(source.get_token());
    EXPECT_THROW(stopped.openDatabase(file), DatabaseError);
    EXPECT_EQ(DatabaseManager().openDatabase(file).size(), 3u);
}

TEST(DatabaseReaderState, AStopRequestEndsTheLoadWithinALongChat) {
    // One chat long enough that finishing it would keep a quitting program waiting.
    const auto file = userDatabase("long.db");
    qbtest::buildBulkMessagesDatabase(file, {.chats = 1, .messagesPerChat = 3000});
    DatabaseManager manager;
    int reportsAfterStop = 0;
    const auto stopEarly = [&](const std::string&, double, const std::optional<std::string>& detail,
                               std::optional<double>) {
        if (manager.stopRequested()) {
            ++reportsAfterStop;
        } else if (detail == "Loading message 100 of 3000...") {
            manager.requestStop();
        }
    };
    try {
        manager.openDatabase(file, std::nullopt, stopEarly);
        FAIL() << "a stopped load returned conversations";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error, DatabaseError::stopped()) << "the stop is not taken for a broken chat";
    }
    EXPECT_LE(reportsAfterStop, 3) << "the chat's remaining rows are not read";
}
