#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "Quillobrandt/main/ConversationListLogic.h"
#include "Quillobrandt/main/MainAlerts.h"
#include "Quillobrandt/main/MainViewState.h"

namespace {

using quillobrandt::Conversation;
using quillobrandt::ParticipantNaming;

Conversation conversation(std::string id, std::vector<std::string> participants) {
    return Conversation{std::move(id), std::move(participants), 0, {}};
}

ParticipantNaming naming(std::map<std::string, std::string> labels, bool access,
                         std::map<std::string, std::string> contacts = {}) {
    ParticipantNaming result;
    result.labels = std::move(labels);
    result.hasContactsAccess = access;
    result.contactName = [contacts](const std::string& handle) -> std::optional<std::string> {
        auto found = contacts.find(handle);
        if (found == contacts.end()) {
            return std::nullopt;
        }
        return found->second;
    };
    return result;
}

std::vector<std::string> orderOf(const std::vector<Conversation>& conversations, const QString& search,
                                 const ParticipantNaming& names) {
    std::vector<std::string> ids;
    for (const auto& entry : quillobrandt::filterAndSortConversations(conversations, search, names)) {
        ids.push_back(conversations[entry.index].id);
    }
    return ids;
}

TEST(ConversationNaming, LabelsWinOverContactsWhichWinOverHandles) {
    const auto names = naming({{"+15550000001", "Mum"}}, true, {{"+15550000001", "Jane Doe"}, {"bob@x.org", "Bob"}});
    EXPECT_EQ(names.conversationDisplayName(conversation("1", {"+15550000001", "bob@x.org", "other"})),
              "Mum, Bob, other");
    EXPECT_EQ(names.conversationDisplayName(conversation("2", {})), "");
}

TEST(ConversationNaming, WithoutContactsAccessLabelsStillNameButNothingCountsAsResolved) {
    const auto names = naming({{"a", "Alice"}}, false, {{"b", "Bob"}});
    const auto c = conversation("1", {"a", "b"});
    EXPECT_EQ(names.conversationDisplayName(c), "Alice, b");
    EXPECT_FALSE(names.hasResolvedName(c));
    EXPECT_TRUE(naming({{"a", "Alice"}}, true).hasResolvedName(c));
    EXPECT_FALSE(naming({}, true).hasResolvedName(conversation("2", {})));
}

TEST(ConversationListOrder, NamedFirstThenNaturalOrderAndTiesKeepTheirOrder) {
    const std::vector<Conversation> conversations{
        conversation("1", {"a10"}), conversation("2", {"a2"}),    conversation("3", {"zed"}),
        conversation("4", {"x"}),   conversation("5", {"A2"}),    conversation("6", {}),
    };
    const auto names = naming({{"x", "Yvonne"}}, true, {{"zed", "Zed Contact"}});
    // Resolved: Yvonne (4), Zed Contact (3). Then the empty name, then a2 / A2 (equal, input order), a10.
    EXPECT_EQ(orderOf(conversations, {}, names), (std::vector<std::string>{"4", "3", "6", "2", "5", "1"}));
    EXPECT_TRUE(quillobrandt::naturalNameLess(QStringLiteral("a2"), QStringLiteral("a10")));
    EXPECT_FALSE(quillobrandt::naturalNameLess(QStringLiteral("a10"), QStringLiteral("a2")));
}

TEST(ConversationListSearch, MatchesNameOrRawHandleCaseInsensitivelyAsTyped) {
    const std::vector<Conversation> conversations{
        conversation("1", {"+15551234567"}),
        conversation("2", {"bob@example.com"}),
        conversation("3", {"carol smith"}),
    };
    const auto names = naming({{"+15551234567", "Alice Jones"}}, false);
    EXPECT_EQ(orderOf(conversations, QStringLiteral("ALICE"), names), (std::vector<std::string>{"1"}));
    EXPECT_EQ(orderOf(conversations, QStringLiteral("1234"), names), (std::vector<std::string>{"1"}));
    EXPECT_EQ(orderOf(conversations, QStringLiteral("Example"), names), (std::vector<std::string>{"2"}));
    // A single space is searched for as typed: names or handles containing a space.
    EXPECT_EQ(orderOf(conversations, QStringLiteral(" "), names), (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(orderOf(conversations, QStringLiteral("nobody"), names).empty());
}

TEST(ConversationListSearch, APhoneNumberMatchesByItsDigitsHoweverItIsWritten) {
    const std::vector<Conversation> conversations{
        conversation("national", {"5183808956"}),
        conversation("international", {"+15183808956"}),
        conversation("other", {"+442079460958"}),
        conversation("mail", {"ann518@example.com"}),
    };
    const auto names = naming({}, false);
    const std::vector<std::string> both{"international", "national"};
    for (const char* typed : {"518-380", "(518) 380", "+1 518", "518 380 8956", "+1 (518) 380-8956"}) {
        auto found = orderOf(conversations, QString::fromUtf8(typed), names);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, both) << typed;
    }
    EXPECT_EQ(orderOf(conversations, QStringLiteral("+44 20 7946"), names), (std::vector<std::string>{"other"}));
    EXPECT_TRUE(orderOf(conversations, QStringLiteral("+1 519"), names).empty());
    EXPECT_TRUE(orderOf(conversations, QStringLiteral("518-381"), names).empty());
    // Not phone numbers: compared as typed only.
    EXPECT_EQ(orderOf(conversations, QStringLiteral("ann518"), names), (std::vector<std::string>{"mail"}));
    EXPECT_TRUE(orderOf(conversations, QStringLiteral("518 x"), names).empty());
    EXPECT_TRUE(orderOf(conversations, QStringLiteral("--"), names).empty());
    EXPECT_FALSE(quillobrandt::phoneDigitsMatch(QStringLiteral("1+518"), "+15183808956")) << "a + only leads";
}

TEST(ConversationListSearch, AnEmptyListSaysWhy) {
    EXPECT_EQ(quillobrandt::emptyListText(QStringLiteral("zed")), QStringLiteral("No conversations match \u201Czed\u201D."));
    EXPECT_EQ(quillobrandt::emptyListText({}), QStringLiteral("This database holds no conversations."));
}

TEST(ConversationOpenFigures, CountHeldMessagesParticipantsAndAttachments) {
    Conversation c = conversation("1", {"a", "b", "c"});
    c.messageCount = 99; // the stored count is not what is reported
    c.messages.resize(3);
    c.messages[1].attachments.resize(2);
    const auto figures = quillobrandt::ConversationOpenFigures::of(c);
    EXPECT_EQ(figures.messageCount, 3);
    EXPECT_EQ(figures.participantCount, 3);
    EXPECT_EQ(figures.attachmentCount, 2);
    EXPECT_TRUE(figures.isGroupChat());
    EXPECT_TRUE(figures.hasMedia());
    EXPECT_EQ(quillobrandt::firstHandleText(conversation("2", {})), QStringLiteral("Unknown"));
    EXPECT_EQ(quillobrandt::messageCountText(1), QStringLiteral("1 message"));
    EXPECT_EQ(quillobrandt::messageCountText(0), QStringLiteral("0 messages"));
    EXPECT_EQ(quillobrandt::messageCountText(2), QStringLiteral("2 messages"));
}

TEST(MainViewState, FacesSizesAndProgressTexts) {
    using quillobrandt::MainFace;
    EXPECT_EQ(quillobrandt::chooseMainFace(true, true), MainFace::loadingDatabase);
    EXPECT_EQ(quillobrandt::chooseMainFace(false, false), MainFace::startScreen);
    EXPECT_EQ(quillobrandt::chooseMainFace(false, true), MainFace::conversationList);
    EXPECT_EQ(quillobrandt::mainContentSize(false), QSize(550, 380));
    EXPECT_EQ(quillobrandt::mainContentSize(true), QSize(810, 690));

    quillobrandt::LoadingState state;
    EXPECT_EQ(state.loadingMessage, "Loading messages...");
    state.report("Loading", 0.429, "Chat 3", 0.5);
    state.begin();
    EXPECT_EQ(state.loadingMessage, "Opening database...");
    EXPECT_EQ(state.percentText(), QStringLiteral("0%"));
    EXPECT_EQ(state.subLineText(), QStringLiteral("Chat 3")); // kept until the first report of the new load
    state.report("Loading", 0.999, std::nullopt, std::nullopt);
    EXPECT_EQ(state.percentText(), QStringLiteral("99%"));
    EXPECT_EQ(state.subLineText(), QStringLiteral(" "));
    EXPECT_FALSE(state.subLoadingProgress.has_value());
    state.report("Odd", 7.0, std::nullopt, std::nullopt);
    EXPECT_EQ(state.percentText(), QStringLiteral("100%"));

    using namespace std::chrono_literals;
    EXPECT_EQ(quillobrandt::remainingMatchingPadding(300ms), 700ms);
    EXPECT_EQ(quillobrandt::remainingMatchingPadding(2000ms), 0ms);
    // Routed by the error's kind, never by its words, and only where a gate exists.
    using Code = quillobrandt::DatabaseError::Code;
    using quillobrandt::errorCallsForFullDiskAccess;
    EXPECT_TRUE(errorCallsForFullDiskAccess(Code::authorizationDenied, true));
    EXPECT_TRUE(errorCallsForFullDiskAccess(Code::cannotOpenDatabase, true));
    EXPECT_FALSE(errorCallsForFullDiskAccess(Code::queryFailed, true));
    EXPECT_FALSE(errorCallsForFullDiskAccess(std::nullopt, true)) << "an error that only mentions the words";
    EXPECT_FALSE(errorCallsForFullDiskAccess(Code::authorizationDenied, false));
}

TEST(MainAlerts, LargeConversationTextGroupsDigitsOrSaysMany) {
    const auto alert =
        quillobrandt::main_alerts::largeConversation(20000, QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(alert.messageText, QStringLiteral("Large Conversation"));
    EXPECT_TRUE(alert.informativeText.startsWith(QStringLiteral("This conversation has 20,000 messages.\n\n")));
    EXPECT_EQ(alert.buttons, (QStringList{QStringLiteral("Proceed"), QStringLiteral("Cancel")}));
    EXPECT_TRUE(quillobrandt::main_alerts::largeConversation(std::nullopt).informativeText.startsWith(
        QStringLiteral("This conversation has many messages.")));
}

} // namespace
