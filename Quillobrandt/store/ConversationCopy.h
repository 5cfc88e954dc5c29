#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// The working copy of a conversation in edit mode. No equality: it is edited in place, never compared.
struct ConversationCopy {
    Conversation originalConversation{}; // id, participants and count; its messages may be left out
    std::vector<Message> editedMessages{};
    std::unordered_set<std::int64_t> deletedMessageIDs{};

    // editedMessages without those marked for deletion, in their order.
    std::vector<Message> remainingMessages() const;
};

} // namespace quillobrandt
