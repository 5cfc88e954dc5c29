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
    std::vector<Conversation> groups;
    std::vector<std::pair<std::string, std::vector<Conversation>>> buckets;
    std::unordered_map<std::string, std::size_t> bucketIndex;

    for (auto& conversation : conversations) {
        if (conversation.participants.size() >= 2) {
            storeConsole("👥 Group chat " + conversation.id + " kept with " +
                         std::to_string(conversation.participants.size()) + " participants, " +
                         std::to_string(conversation.messages.size()) + " messages");
            groups.push_back(std::move(conversation));
        } else if (conversation.participants.size() == 1) {
            auto key = personKey(conversation.participants.front());
            const auto [position, inserted] = bucketIndex.try_emplace(key, buckets.size());
            if (inserted) {
                buckets.emplace_back(std::move(key), std::vector<Conversation>{});
            }
            buckets[position->second].second.push_back(std::move(conversation));
        }
    }

    std::vector<Conversation> result;
    result.reserve(buckets.size() + groups.size());
    for (auto& [key, members] : buckets) {
        if (members.size() == 1) {
            result.push_back(std::move(members.front()));
        } else {
            result.push_back(mergeBucket(std::move(members), key));
        }
    }
    std::move(groups.begin(), groups.end(), std::back_inserter(result));
    return result;
}

} // namespace quillobrandt
