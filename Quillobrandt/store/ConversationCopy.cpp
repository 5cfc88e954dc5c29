#include "Quillobrandt/store/ConversationCopy.h"

namespace quillobrandt {

std::vector<Message> ConversationCopy::remainingMessages() const {
    std::vector<Message> remaining;
    remaining.reserve(editedMessages.size());
    for (const auto& message : editedMessages) {
        if (deletedMessageIDs.count(message.id) == 0) {
            remaining.push_back(message);
        }
    }
    return remaining;
}

} // namespace quillobrandt
