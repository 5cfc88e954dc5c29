#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// The working copy of a conversation in edit mode. No equality: it is edited in place, never compared.
// A big conversation is not copied for editing: the copy shares the loaded conversation read-only and lists
// the messages it edits by their positions in it.
struct ConversationCopy {
    std::shared_ptr<const Conversation> originalConversation{};
    std::vector<std::uint32_t> editedMessages{}; // positions in originalConversation->messages, in order
    std::unordered_set<std::int64_t> deletedMessageIDs{};

    // The message at `index` of editedMessages; the position must name one (see hasEditedMessage).
    const Message& editedMessage(std::size_t index) const {
        return originalConversation->messages[editedMessages[index]];
    }
    // Whether editedMessages[index] names a message of the original.
    bool hasEditedMessage(std::size_t index) const;

    // The edited messages without those marked for deletion, in their order, as values.
    std::vector<Message> remainingMessages() const;
};

} // namespace quillobrandt
