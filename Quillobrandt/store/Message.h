#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/store/Attachment.h"
#include "Quillobrandt/store/CompactOptional.h"
#include "Quillobrandt/store/CompactVector.h"
#include "Quillobrandt/store/SharedText.h"
#include "Quillobrandt/store/ValueHasher.h"
#include "platform/core/AbsoluteTime.h"

namespace quillobrandt {

// One message of a conversation, as read from the database. A plain value. A history holds a million of them,
// so the fields most messages leave empty cost a pointer each and a chat's senders share their text.
struct Message {
    std::int64_t id = 0;                                  // row id in the `message` table
    std::optional<std::string> text{};                    // stored text, else the archived body's text
    platform::AbsoluteTime date{};                        // when it was sent
    bool isFromMe = false;                                // stored is_from_me is exactly 1
    SharedText sender{};                                  // handle id, else "Me" or "Unknown"
    CompactOptional<std::string> associatedMessageGUID{}; // the message a reaction or reply refers to
    std::optional<std::int32_t> associatedMessageType{};  // absent for a plain message (stored 0)
    CompactVector<Attachment> attachments{};              // in the order the reader found them

    bool hasImageAttachment() const;
    bool hasNonImageAttachment() const;

    bool operator==(const Message&) const = default;
};

} // namespace quillobrandt

template <> struct std::hash<quillobrandt::Message> {
    std::size_t operator()(const quillobrandt::Message& m) const {
        return quillobrandt::ValueHasher{}
            .add(m.id)
            .add(m.text)
            .add(m.date.secondsSinceReferenceDate)
            .add(m.isFromMe)
            .add(m.sender)
            .add(m.associatedMessageGUID)
            .add(m.associatedMessageType)
            .add(m.attachments)
            .result();
    }
};
