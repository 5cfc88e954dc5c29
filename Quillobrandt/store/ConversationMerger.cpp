#include "Quillobrandt/store/ConversationMerger.h"

#include <algorithm>
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
    // In place, with no second list and no map: the list of a history of 50,000 chats is several MiB, and the merge
    // runs when every message is already in memory, at the load's peak. The people's keys are sorted beside their
    // conversations' places; a key met more than once names the few conversations that merge.
    // What each place becomes: kept where it is (a person's first conversation, merged or not), gone into its
    // person's first conversation, a group chat (which goes to the end), or dropped (no participant).
    enum class Fate : unsigned char { dropped, kept, mergedAway, group };
    std::vector<Fate> fates(conversations.size(), Fate::dropped);
    std::vector<std::pair<std::string, std::size_t>> people; // key, place in the list
    people.reserve(conversations.size());
    for (std::size_t place = 0; place < conversations.size(); ++place) {
        const auto& conversation = conversations[place];
        if (conversation.participants.size() >= 2) {
            fates[place] = Fate::group;
            storeConsole("👥 Group chat " + conversation.id + " kept with " +
                         std::to_string(conversation.participants.size()) + " participants, " +
                         std::to_string(conversation.messages.size()) + " messages");
        } else if (conversation.participants.size() == 1) {
            people.emplace_back(personKey(conversation.participants.front()), place);
        }
    }
    std::sort(people.begin(), people.end());

    std::vector<std::pair<std::size_t, std::size_t>> runs; // people[first, last) of the persons with several
    for (std::size_t first = 0; first < people.size();) {
        std::size_t last = first + 1;
        while (last < people.size() && people[last].first == people[first].first) {
            fates[people[last++].second] = Fate::mergedAway;
        }
        fates[people[first].second] = Fate::kept;
        if (last - first > 1) {
            runs.emplace_back(first, last);
        }
        first = last;
    }
    // In the order of the people's first conversations, as the list shows them.
    std::sort(runs.begin(), runs.end(),
              [&people](const auto& a, const auto& b) { return people[a.first].second < people[b.first].second; });
    for (const auto& [first, last] : runs) {
        std::vector<Conversation> members;
        members.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) {
            members.push_back(std::move(conversations[people[i].second]));
        }
        const std::size_t place = people[first].second;
        const auto key = std::move(people[first].first);
        conversations[place] = mergeBucket(std::move(members), key);
    }
    people = {};

    std::vector<Conversation> groups;
    std::size_t kept = 0;
    for (std::size_t place = 0; place < conversations.size(); ++place) {
        if (fates[place] == Fate::group) {
            groups.push_back(std::move(conversations[place]));
        } else if (fates[place] == Fate::kept) {
            if (kept != place) {
                conversations[kept] = std::move(conversations[place]);
            }
            ++kept;
        }
    }
    conversations.erase(conversations.begin() + static_cast<std::ptrdiff_t>(kept), conversations.end());
    std::move(groups.begin(), groups.end(), std::back_inserter(conversations));
    return conversations;
}

} // namespace quillobrandt
