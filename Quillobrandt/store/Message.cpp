#include "Quillobrandt/store/Message.h"

#include <algorithm>

namespace quillobrandt {

bool Message::hasImageAttachment() const {
    return std::any_of(attachments.begin(), attachments.end(), [](const Attachment& a) { return a.isImage(); });
}

bool Message::hasNonImageAttachment() const {
    return std::any_of(attachments.begin(), attachments.end(), [](const Attachment& a) { return !a.isImage(); });
}

} // namespace quillobrandt
