#include "Quillobrandt/conversation/ConversationViewModel.h"
#include "Quillobrandt/conversation/SenderNames.h"

#include <gtest/gtest.h>

#include "tests/conversation/ConversationTestSupport.h"

namespace {

using quillobrandt::Attachment;
using quillobrandt::Conversation;
using quillobrandt::ConversationViewModel;
using quillobrandt::Message;

// `count` messages, one a minute from 2024-03-01 08:00 local time.
Conversation conversationOf(int count, std::vector<std::string> participants = {"+15551234567"}) {
    Conversation conversation;
    conversation.id = "1";
    conversation.participants = std::move(participants);
    const QDateTime first(QDate(2024, 3, 1), QTime(8, 0), Qt::LocalTime);
    for (int i = 0; i < count; ++i) {
        const QDateTime at = first.addSecs(60LL * i);
        conversation.messages.push_back(
            qbtest::makeMessage(at.date(), at.time(), "m" + std::to_string(i), i % 2 == 0));
    }
    conversation.messageCount = count;
    return conversation;
}

Attachment attachment(const std::string& name, std::optional<std::string> mime = std::nullopt) {
    Attachment a;
    a.filename = name;
    a.mimeType = std::move(mime);
    a.filePath = "/nowhere/" + name;
    return a;
}

TEST(ConversationWindow, SmallListIsShownWholeWithoutPaging) {
    ConversationViewModel model(conversationOf(500));
    model.showNewestWindow();
    EXPECT_EQ(model.windowStart(), 0);
    EXPECT_EQ(model.displayedCount(), 500);
    EXPECT_FALSE(model.hasEarlierMessages());
    EXPECT_FALSE(model.hasNewerMessages());
}

TEST(ConversationWindow, PagesThroughTwelveHundredMessages) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    ConversationViewModel model(conversationOf(1234));
    model.showNewestWindow();
    EXPECT_EQ(model.displayedRange(), std::make_pair(734, 1234));
    EXPECT_EQ(model.loadEarlierLabel(), "Load Earlier Messages (734 more)");
    model.loadEarlierMessages();
    EXPECT_EQ(model.windowStart(), 234);
    EXPECT_EQ(model.loadEarlierLabel(), "Load Earlier Messages (234 more)");
    model.loadEarlierMessages();
    EXPECT_EQ(model.windowStart(), 0);
    EXPECT_FALSE(model.hasEarlierMessages());
    EXPECT_EQ(model.loadNewerLabel(), "Load Newer Messages (734 more)");
    model.loadNewerMessages();
    EXPECT_EQ(model.windowStart(), 500);
    EXPECT_EQ(model.loadNewerLabel(), "Load Newer Messages (234 more)");
    model.loadNewerMessages();
    EXPECT_EQ(model.windowStart(), 734);
    EXPECT_FALSE(model.hasNewerMessages());
    EXPECT_EQ(model.displayedMessages().front().text, "m734");
}

TEST(ConversationWindow, LoadNewerStopsAtTheLastFullWindowAndJumpsGoToTheEnds) {
    ConversationViewModel model(conversationOf(600));
    model.updateFilteredMessages();
    EXPECT_EQ(model.loadNewerLabel(), "Load Newer Messages (100 more)");
    model.loadNewerMessages();
    EXPECT_EQ(model.windowStart(), 100);
    model.jumpToOldest();
    EXPECT_EQ(model.windowStart(), 0);
    model.jumpToNewest();
    EXPECT_EQ(model.windowStart(), 100);

    ConversationViewModel small(conversationOf(300));
    small.showNewestWindow();
    small.jumpToNewest();
    EXPECT_EQ(small.windowStart(), 0);
    EXPECT_EQ(small.displayedCount(), 300);
}

TEST(ConversationWindow, EveryRefilterClampsTheWindowIntoTheList) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    ConversationViewModel model(conversationOf(1234));
    model.showNewestWindow();
    model.setStartDate(QDate(2024, 3, 2));
    model.setEndDate(QDate(2024, 3, 2));
    model.setEnableDateFilter(true);
    // 0:00 to 4:33 of the second day: 274 messages, fewer than the window's start.
    model.updateFilteredMessages();
    ASSERT_EQ(model.filteredCount(), 274);
    EXPECT_EQ(model.windowStart(), 0);
    EXPECT_EQ(model.displayedRange(), std::make_pair(0, 274));
    EXPECT_FALSE(model.hasEarlierMessages()) << "no Load Earlier button counting messages that are not there";

    // Back to the whole list: the start stays where it was, now inside the list.
    model.setEnableDateFilter(false);
    model.updateFilteredMessages();
    EXPECT_EQ(model.windowStart(), 0);
    EXPECT_EQ(model.displayedCount(), 500);
}

TEST(ConversationWindow, HidingMediaOnAHugeConversationKeepsTheWindowAtFiveHundred) {
    Conversation conversation = conversationOf(100000);
    for (std::size_t i = 0; i < conversation.messages.size(); i += 10) {
        conversation.messages[i].attachments = {attachment("p.jpg", "image/jpeg")};
    }
    ConversationViewModel model(std::move(conversation));
    model.showNewestWindow();
    ASSERT_EQ(model.windowStart(), 99500);
    model.setShowMedia(false);
    model.updateFilteredMessages();
    ASSERT_EQ(model.filteredCount(), 90000);
    EXPECT_EQ(model.windowStart(), 89500);
    EXPECT_EQ(model.displayedCount(), 500);
    EXPECT_EQ(model.loadEarlierLabel(), "Load Earlier Messages (89500 more)");
    EXPECT_FALSE(model.hasNewerMessages());
    model.setShowMedia(true);
    model.updateFilteredMessages();
    EXPECT_EQ(model.windowStart(), 89500);
    EXPECT_EQ(model.displayedCount(), 500);
}

TEST(ConversationWindow, JumpButtonsNeedElevenMessages) {
    ConversationViewModel ten(conversationOf(10));
    ten.showNewestWindow();
    EXPECT_FALSE(ten.showsJumpButtons());
    ConversationViewModel eleven(conversationOf(11));
    eleven.showNewestWindow();
    EXPECT_TRUE(eleven.showsJumpButtons());
    ConversationViewModel none(conversationOf(0));
    none.showNewestWindow();
    EXPECT_EQ(none.displayedCount(), 0);
    EXPECT_FALSE(none.hasEarlierMessages());
    EXPECT_FALSE(none.hasNewerMessages());
}

TEST(ConversationFilter, DateRangeCoversWholeLocalDays) {
    qbtest::ScopedTimeZone zone("America/New_York");
    Conversation conversation;
    conversation.participants = {"a"};
    const QDate day(2024, 3, 9);
    conversation.messages = {
        qbtest::makeMessage(day.addDays(-1), QTime(23, 59, 59), "before"),
        qbtest::makeMessage(day, QTime(0, 0, 0), "midnight start"),
        qbtest::makeMessage(day.addDays(1), QTime(23, 59, 59), "end of end day"),
        qbtest::makeMessage(day.addDays(2), QTime(0, 0, 0), "after"),
    };
    ConversationViewModel model(conversation);
    model.updateFilteredMessages();
    model.setStartDate(day);
    model.setEndDate(day.addDays(1)); // 10 March 2024 is the spring-forward day in New York
    EXPECT_FALSE(model.dateFilterChanged()) << "dates alone do not refilter while the filter is off";
    EXPECT_EQ(model.filteredCount(), 4);
    model.setEnableDateFilter(true);
    model.updateFilteredMessages();
    ASSERT_EQ(model.filteredCount(), 2);
    EXPECT_EQ(model.filteredMessage(0).text, "midnight start");
    EXPECT_EQ(model.filteredMessage(1).text, "end of end day");

    model.setStartDate(day.addDays(3));
    EXPECT_TRUE(model.dateFilterChanged());
    EXPECT_EQ(model.filteredCount(), 0) << "a start after the end selects nothing";
}

TEST(ConversationFilter, OnlyShowMediaHidesMessagesAndOnlyThoseWithPictures) {
    Conversation conversation;
    conversation.participants = {"a"};
    Message text = qbtest::makeMessage(QDate(2024, 1, 1), QTime(9, 0), "plain");
    Message picture = qbtest::makeMessage(QDate(2024, 1, 1), QTime(9, 1), "with picture");
    picture.attachments = {attachment("p.jpg")};
    Message video = qbtest::makeMessage(QDate(2024, 1, 1), QTime(9, 2), std::nullopt);
    video.attachments = {attachment("v.mov", "video/quicktime")};
    conversation.messages = {text, picture, video};
    ConversationViewModel model(conversation);
    model.updateFilteredMessages();
    ASSERT_EQ(model.filteredCount(), 3) << "a video is part of the conversation";
    model.setShowMedia(false);
    model.updateFilteredMessages();
    ASSERT_EQ(model.filteredCount(), 2);
    EXPECT_EQ(model.filteredMessage(0).text, "plain");
    EXPECT_EQ(model.filteredMessage(1).attachments[0].filename, "v.mov");
}

TEST(ConversationRows, HeadersFollowDaysAndReactionsKeepTheirPlace) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    Conversation conversation;
    conversation.participants = {"a", "b", "c"};
    Message reaction = qbtest::makeMessage(QDate(2024, 1, 1), QTime(9, 0), "Loved");
    reaction.associatedMessageGUID = "p:0/GUID";
    Message sameDay = qbtest::makeMessage(QDate(2024, 1, 1), QTime(9, 5), "hi", false, "b");
    Message mine = qbtest::makeMessage(QDate(2024, 1, 2), QTime(9, 5), "next day", true);
    conversation.messages = {reaction, sameDay, mine};
    ConversationViewModel model(conversation);
    model.showNewestWindow();
    EXPECT_TRUE(model.rowLayout(0).empty);
    const auto second = model.rowLayout(1);
    EXPECT_FALSE(second.empty);
    EXPECT_TRUE(second.showDateHeader) << "the first shown row of the window has the day's header";
    EXPECT_FALSE(second.headerPaddingAbove) << "nothing is drawn above it";
    EXPECT_TRUE(second.showSenderName);
    const auto third = model.rowLayout(2);
    EXPECT_TRUE(third.showDateHeader);
    EXPECT_TRUE(third.headerPaddingAbove);
    EXPECT_FALSE(third.showSenderName) << "own messages never name their sender";

    // Two other people are already a group: whose message is whose must show.
    conversation.participants = {"a", "b"};
    ConversationViewModel pair(conversation);
    pair.showNewestWindow();
    EXPECT_TRUE(pair.rowLayout(1).showSenderName);

    conversation.participants = {"a"};
    ConversationViewModel single(conversation);
    single.showNewestWindow();
    EXPECT_FALSE(single.rowLayout(1).showSenderName);
    EXPECT_FALSE(quillobrandt::showsSenderNames({}));
}

TEST(ConversationRows, ADayThatStartsWithAReactionStillGetsItsHeader) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    Conversation conversation;
    conversation.participants = {"a"};
    Message monday = qbtest::makeMessage(QDate(2024, 1, 1), QTime(21, 0), "monday");
    Message tuesdayReaction = qbtest::makeMessage(QDate(2024, 1, 2), QTime(0, 1), "Liked");
    tuesdayReaction.associatedMessageGUID = "p:0/GUID";
    Message tuesday = qbtest::makeMessage(QDate(2024, 1, 2), QTime(9, 0), "tuesday");
    Message lateReaction = qbtest::makeMessage(QDate(2024, 1, 2), QTime(23, 59), "Loved");
    lateReaction.associatedMessageGUID = "p:0/GUID2";
    Message tuesdayAgain = qbtest::makeMessage(QDate(2024, 1, 2), QTime(23, 59, 30), "still tuesday");
    conversation.messages = {monday, tuesdayReaction, tuesday, lateReaction, tuesdayAgain};
    ConversationViewModel model(conversation);
    model.showNewestWindow();
    EXPECT_TRUE(model.rowLayout(0).showDateHeader);
    EXPECT_TRUE(model.rowLayout(1).empty);
    EXPECT_TRUE(model.rowLayout(2).showDateHeader) << "compared with monday, the last row that shows something";
    EXPECT_TRUE(model.rowLayout(2).headerPaddingAbove);
    EXPECT_FALSE(model.rowLayout(4).showDateHeader);
}

TEST(ConversationRows, FirstRowOfEveryWindowHasAHeader) {
    ConversationViewModel model(conversationOf(600));
    model.showNewestWindow();
    EXPECT_TRUE(model.rowLayout(0).showDateHeader);
    EXPECT_FALSE(model.rowLayout(0).headerPaddingAbove);
    EXPECT_FALSE(model.rowLayout(1).showDateHeader);
}

TEST(ConversationEditing, ApplyHidesForTheSessionAndCancelDrops) {
    ConversationViewModel model(conversationOf(5));
    model.showNewestWindow();
    model.applyChanges();
    EXPECT_TRUE(model.permanentlyDeletedMessageIDs().empty());
    EXPECT_FALSE(model.isEditMode());

    const Message first = model.conversation().messages[0];
    const Message second = model.conversation().messages[1];
    model.enterEditMode();
    model.updateFilteredMessages();
    model.deleteMessage(first);
    model.deleteMessage(first);
    EXPECT_EQ(model.conversationCopy()->deletedMessageIDs.size(), 1u);
    EXPECT_EQ(model.filteredCount(), 5) << "a marked message stays on screen until applied";
    model.applyChanges();
    model.updateFilteredMessages();
    EXPECT_EQ(model.filteredCount(), 4);
    EXPECT_TRUE(model.permanentlyDeletedMessageIDs().contains(first.id));

    model.enterEditMode();
    EXPECT_EQ(model.conversationCopy()->editedMessages.size(), 4u);
    EXPECT_TRUE(model.conversationCopy()->deletedMessageIDs.empty());
    model.deleteMessage(second);
    EXPECT_EQ(model.idsToDeleteInCopy(), (std::unordered_set<std::int64_t>{first.id, second.id}));
    model.cancelEdit();
    model.updateFilteredMessages();
    EXPECT_EQ(model.filteredCount(), 4);
    model.deleteMessage(second);
    EXPECT_FALSE(model.isEditMode()) << "deleting outside edit mode does nothing";
}
TEST(ConversationSharing, TheLoadedMessagesAreReadInPlaceAndListsHoldPositions) {
    const auto loaded = std::make_shared<const Conversation>(conversationOf(6));
    const Message* const storage = loaded->messages.data();
    ConversationViewModel model(loaded);
    EXPECT_EQ(&model.conversation(), loaded.get()) << "the view model reads the loaded conversation, not a copy";
    EXPECT_EQ(model.conversation().messages.data(), storage);

    model.showNewestWindow();
    EXPECT_EQ(model.filteredIndices(), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(&model.filteredMessage(4), &loaded->messages[4]);

    model.enterEditMode();
    ASSERT_TRUE(model.isEditMode());
    EXPECT_EQ(model.conversationCopy()->originalConversation, loaded) << "edit mode shares the conversation too";
    EXPECT_EQ(model.conversationCopy()->editedMessages, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(loaded.use_count(), 3) << "this test, the view model and its working copy";
    model.deleteMessage(loaded->messages[2]);
    model.updateFilteredMessages();
    EXPECT_EQ(model.filteredIndices(), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5})) << "marked, not yet gone";
    model.applyChanges();
    model.updateFilteredMessages();
    EXPECT_EQ(model.filteredIndices(), (std::vector<std::uint32_t>{0, 1, 3, 4, 5}));
    EXPECT_EQ(model.filteredMessage(2).text, "m3");
    EXPECT_EQ(loaded.use_count(), 2) << "the working copy went with edit mode";

    // A second round edits what the first left: its list names positions of the loaded messages.
    model.enterEditMode();
    EXPECT_EQ(model.conversationCopy()->editedMessages, (std::vector<std::uint32_t>{0, 1, 3, 4, 5}));
    model.deleteMessage(loaded->messages[5]);
    model.applyChanges();
    model.setShowMedia(false);
    model.updateFilteredMessages();
    EXPECT_EQ(model.filteredIndices(), (std::vector<std::uint32_t>{0, 1, 3, 4}));
    EXPECT_EQ(model.displayedMessages().back().text, "m4");
    EXPECT_EQ(model.conversation().messages.size(), 6u) << "deleting never changes the loaded conversation";
    EXPECT_EQ(model.conversation().messages.data(), storage);
}

TEST(ConversationSharing, AConversationHandedOverByValueIsKeptWithoutACopy) {
    Conversation conversation = conversationOf(3);
    const Message* const storage = conversation.messages.data();
    ConversationViewModel model(std::move(conversation));
    EXPECT_EQ(model.conversation().messages.data(), storage);
    EXPECT_EQ(model.sharedConversation().get(), &model.conversation());
}


TEST(ConversationHeader, TitleNamesAndSourceLine) {
    const quillobrandt::ParticipantNamer namer = [](const QString& h) { return h == "b" ? QString("Bea") : h; };
    EXPECT_EQ(quillobrandt::participantNamesTitle({}, namer), "");
    EXPECT_EQ(quillobrandt::participantNamesTitle({"a", "b"}, namer), "a, Bea");
    EXPECT_EQ(quillobrandt::participantNamesTitle({"a", "b", "c"}, namer), "a, Bea, and 1 other");
    EXPECT_EQ(quillobrandt::participantNamesTitle({"a", "b", "c", "d", "e"}, namer), "a, Bea, and 3 others");

    using quillobrandt::sourceLineFor;
    EXPECT_EQ(sourceLineFor(std::nullopt).text, "No database loaded");
    EXPECT_EQ(sourceLineFor(std::filesystem::path("/home/u/Library/Messages/chat.db")).text,
              "Viewing: Mac Messages (read-only)");
    EXPECT_EQ(sourceLineFor(std::filesystem::path("/home/u/copy/chat.db")).text, "Editing: chat.db");
    EXPECT_EQ(sourceLineFor(std::filesystem::path("/home/u/Library/Messages/Chat.db")).symbol,
              "pencil.circle.fill");
    EXPECT_EQ(quillobrandt::editedCopyFileName("A/B: \"C\""), "quillobrandt_A-B- C_edited.db");
}

} // namespace
