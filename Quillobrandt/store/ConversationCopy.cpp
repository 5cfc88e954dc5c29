#include "Quillobrandt/store/ConversationCopy.h"

namespace quillobrandt {

bool ConversationCopy::hasEditedMessage(std::size_t index) const {
    return originalConversation && index < editedMessages.size() &&
           editedMessages[index] < originalConversation->messages.size();
}

std::vector<Message> ConversationCopy::remainingMessages() const {
    std::vector<Message> remaining;
    remaining.reserve(editedMessages.size());
    for (std::size_t i = 0; i < editedMessages.size(); ++i) {
        if (hasEditedMessage(i) && deletedMessageIDs.count(editedMessage(i).id) == 0) {
            remaining.push_back(editedMessage(i));
        }
    }
    return remaining;
}

} // namespace quillobrandt
