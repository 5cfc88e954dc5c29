#include "Quillobrandt/store/ConversationMerger.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "Quillobrandt/store/StoreLog.h"
#include "Quillobrandt/store/UnicodeText.h"
#include "platform/core/AbsoluteTime.h"

namespace quillobrandt {
namespace {

constexpr std::size_t kSignificantDigits = 10;

Conversation mergeBucket(std::vector<Conversation>&& members, const std::string& key) {
    Conversation merged;
    std::size_t total = 0;
    for (const auto& member : members) {
        total += member.messages.size();
    }
    merged.messages.reserve(total);
    for (auto& member : members) {
        if (!merged.id.empty()) {
            merged.id += "+";
        }
        merged.id += member.id;
        std::move(member.messages.begin(), member.messages.end(), std::back_inserter(merged.messages));
    }
    std::stable_sort(merged.messages.begin(), merged.messages.end(),
                     [](const Message& a, const Message& b) { return a.date < b.date; });
    merged.participants = {members.front().participants.front()};
    merged.messageCount = static_cast<std::int64_t>(merged.messages.size());

    std::string line = "🔗 Merged " + std::to_string(members.size()) + " conversations for " + key + " (" + merged.id +
                       "): " + std::to_string(merged.messageCount) + " messages";
    if (!merged.messages.empty()) {
        line += ", " + platform::formatIso8601(merged.messages.front().date) + " to " +
                platform::formatIso8601(merged.messages.back().date);
    }
    storeConsole(line);
    return merged;
}

} // namespace

std::string personKey(const std::string& participant) {
    if (participant.find('@') != std::string::npos) {
        return lowercasedUtf8(participant);
    }
    std::vector<std::string_view> digits;
    for (const auto& character : splitUtf8(participant)) {
        if (isUnicodeDecimalDigit(character.codePoint)) {
            digits.push_back(character.bytes);
        }
    }
    if (digits.empty()) {
        return lowercasedUtf8(participant);
    }
    const std::size_t first = digits.size() > kSignificantDigits ? digits.size() - kSignificantDigits : 0;
    std::string key;
    for (std::size_t i = first; i < digits.size(); ++i) {
        key += digits[i];
    }
    return key;
}

std::vector<Conversation> mergeDuplicateConversations(std::vector<Conversation> conversations) {
    // Each person's first conversation takes its place in the result at once; only the few people with more than one
    // gather the others, to be merged into that place at the end. Most people have one: each conversation moves once.
    std::vector<Conversation> result;
    result.reserve(conversations.size());
    std::vector<Conversation> groups;
    std::unordered_map<std::string, std::size_t> placeOfPerson;
    placeOfPerson.reserve(conversations.size());
    std::vector<std::pair<std::size_t, std::vector<Conversation>>> more; // place, the person's further conversations
    std::unordered_map<std::size_t, std::size_t> moreAt;                 // place to its entry in `more`

    for (auto& conversation : conversations) {
        if (conversation.participants.size() >= 2) {
            storeConsole("👥 Group chat " + conversation.id + " kept with " +
                         std::to_string(conversation.participants.size()) + " participants, " +
                         std::to_string(conversation.messages.size()) + " messages");
            groups.push_back(std::move(conversation));
        } else if (conversation.participants.size() == 1) {
            const auto [position, first] = placeOfPerson.try_emplace(personKey(conversation.participants.front()),
                                                                     result.size());
            if (first) {
                result.push_back(std::move(conversation));
                continue;
            }
            const auto [entry, firstMore] = moreAt.try_emplace(position->second, more.size());
            if (firstMore) {
                more.emplace_back(position->second, std::vector<Conversation>{});
            }
            more[entry->second].second.push_back(std::move(conversation));
        }
    }

    // In the order of the people's first conversations, as the list shows them.
    std::sort(more.begin(), more.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [place, others] : more) {
        std::vector<Conversation> members;
        members.reserve(others.size() + 1);
        members.push_back(std::move(result[place]));
        std::move(others.begin(), others.end(), std::back_inserter(members));
        const auto key = personKey(members.front().participants.front());
        result[place] = mergeBucket(std::move(members), key);
    }
    std::move(groups.begin(), groups.end(), std::back_inserter(result));
    return result;
}

} // namespace quillobrandt
