#include "Quillobrandt/store/ConversationMerger.h"

#include <gtest/gtest.h>

#include <algorithm>

using quillobrandt::Conversation;
using quillobrandt::mergeDuplicateConversations;
using quillobrandt::Message;
using quillobrandt::personKey;

namespace {

Message at(double seconds, const std::string& text) {
    return Message{.id = static_cast<std::int64_t>(seconds), .text = text, .date = {seconds}, .sender = "x"};
}

Conversation chat(const std::string& id, std::vector<std::string> participants, std::vector<Message> messages) {
    const auto count = static_cast<std::int64_t>(messages.size());
    return Conversation{
        .id = id, .participants = std::move(participants), .messageCount = count, .messages = std::move(messages)};
}

const Conversation& withId(const std::vector<Conversation>& list, const std::string& id) {
    const auto found = std::find_if(list.begin(), list.end(), [&](const Conversation& c) { return c.id == id; });
    if (found == list.end()) {
        throw std::runtime_error("no conversation " + id);
    }
    return *found;
}

} // namespace

TEST(PersonKey, PhoneNumbersMailAddressesAndNames) {
    EXPECT_EQ(personKey("+1 (555) 123-4567"), "5551234567");
    EXPECT_EQ(personKey("15551234567"), "5551234567");
    EXPECT_EQ(personKey("12345"), "12345");
    EXPECT_EQ(personKey("Jane.Doe@Example.COM"), "jane.doe@example.com");
    EXPECT_EQ(personKey("call 555 me@x"), "call 555 me@x"); // an "@" anywhere makes it an address
    EXPECT_EQ(personKey("Grandma"), "grandma");
    EXPECT_EQ(personKey("ÉLODIE"), "élodie");
    EXPECT_EQ(personKey(""), "");
}

TEST(PersonKey, DigitsOfEveryScriptCount) {
    // Arabic-Indic digits: ٠١٢٣٤٥٦٧٨٩ (U+0660...U+0669), eleven of them; the last ten are kept as written.
    EXPECT_EQ(personKey("+١٢٣٤٥٦٧٨٩٠١"), "٢٣٤٥٦٧٨٩٠١");
    // Fullwidth and Devanagari digits mixed with ASCII.
    EXPECT_EQ(personKey("１２३4"), "１２३4");
    // Superscripts and fractions are not decimal digits; a broken UTF-8 byte is no digit either.
    EXPECT_EQ(personKey("²½\xFF"), "²½\xFF");
}

TEST(ConversationMerge, SamePersonWrittenTwoWaysBecomesOneConversation) {
    const auto merged = mergeDuplicateConversations({
        chat("942", {"+1 (555) 123-4567"}, {at(30, "c"), at(10, "a")}),
        chat("17", {"5551234567"}, {at(20, "b"), at(10, "a2")}),
    });
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].id, "942+17");
    EXPECT_EQ(merged[0].participants, std::vector<std::string>{"+1 (555) 123-4567"});
    EXPECT_EQ(merged[0].messageCount, 4);
    std::vector<std::string> texts;
    for (const auto& message : merged[0].messages) {
        texts.push_back(*message.text);
    }
    // By date; equal dates keep the order of the input chats.
    EXPECT_EQ(texts, (std::vector<std::string>{"a", "a2", "b", "c"}));
}

TEST(ConversationMerge, AddressesDifferingOnlyInCaseMerge) {
    const auto merged = mergeDuplicateConversations({
        chat("2", {"Jane@Example.com"}, {at(2, "x")}),
        chat("1", {"jane@example.com"}, {at(1, "y")}),
    });
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].id, "2+1");
    EXPECT_EQ(merged[0].participants, std::vector<std::string>{"Jane@Example.com"});
}

TEST(ConversationMerge, GroupChatsStayApartAndComeLast) {
    const auto group = chat("5", {"+15551234567", "bob@example.com"}, {at(1, "g")});
    const auto merged = mergeDuplicateConversations({
        group,
        chat("4", {"+15551234567"}, {at(2, "one")}),
        chat("3", {"carol@example.com"}, {at(3, "two")}),
        chat("2", {}, {at(4, "dropped")}),
    });
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged.back(), group);
    EXPECT_EQ(withId(merged, "4").messageCount, 1);
    EXPECT_EQ(withId(merged, "3").messageCount, 1);
}

TEST(ConversationMerge, OnlyGroupsOrNothing) {
    const std::vector<Conversation> groups{chat("9", {"a", "b"}, {at(1, "x")}), chat("8", {"c", "d"}, {at(2, "y")})};
    EXPECT_EQ(mergeDuplicateConversations(groups), groups);
    EXPECT_TRUE(mergeDuplicateConversations({}).empty());
}
