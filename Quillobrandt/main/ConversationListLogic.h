#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/store/Conversation.h"

namespace quillobrandt {

// What naming a participant depends on: the user's labels, whether Contacts may be used, and the
// contact look-up itself (a handle id to a name, or nothing).
struct ParticipantNaming {
    std::map<std::string, std::string> labels;
    bool hasContactsAccess = false;
    std::function<std::optional<std::string>(const std::string& handle)> contactName;

    // The label, else (with Contacts access) the contact name, else the handle id itself.
    std::string nameOf(const std::string& handle) const;
    // Every participant's name joined with ", "; empty without participants.
    std::string conversationDisplayName(const Conversation& conversation) const;
    // Whether one participant is known by a label or a contact name; never without Contacts access.
    bool hasResolvedName(const Conversation& conversation) const;
};

// One visible row of the list: which conversation, and the name it was sorted by.
struct ConversationListEntry {
    std::size_t index = 0; // into the conversations the list was made from
    QString name;
    bool resolved = false;
};

// The conversations matching `searchText` (case-insensitive, in the name or in any raw handle id; the
// text is used as typed), named ones first, then by natural order of their names ("a2" before "a10").
// A text typed as a phone number (digits with spaces, dashes and brackets, perhaps after a leading "+") also
// matches a phone-number handle id whose digits hold its digits, however either is punctuated (phoneDigitsMatch).
// Names are computed once per conversation, not once per comparison. Ties keep the input order.
std::vector<ConversationListEntry> filterAndSortConversations(const std::vector<Conversation>& conversations,
                                                              const QString& searchText,
                                                              const ParticipantNaming& naming);

// Whether `handle` is the number `query` was typed as: "518-380", "(518) 380" and "+1 518" all find
// "+15183808956" and "5183808956". A query in international form also finds a number stored without its
// country code (one to three digits): what follows the code begins the stored number. False when the query or
// the handle is not a phone number (a letter or other sign, or no digit at all).
bool phoneDigitsMatch(const QString& query, const std::string& handle);

// What the list shows in place of rows: a search that matches nothing, or no conversations at all.
QString emptyListText(const QString& searchText);

// The natural order used for names: true when `a` goes before `b`.
bool naturalNameLess(const QString& a, const QString& b);

// Figures reported when a conversation is opened.
struct ConversationOpenFigures {
    std::int64_t messageCount = 0; // messages actually held, not the stored count
    std::int64_t participantCount = 0;
    std::int64_t attachmentCount = 0;
    bool isGroupChat() const { return participantCount > 2; }
    bool hasMedia() const { return attachmentCount > 0; }

    static ConversationOpenFigures of(const Conversation& conversation);
};

// The second line of a row: the first handle id ("Unknown" without one).
QString firstHandleText(const Conversation& conversation);
// "1 message", "<count> messages".
QString messageCountText(std::int64_t count);

} // namespace quillobrandt
