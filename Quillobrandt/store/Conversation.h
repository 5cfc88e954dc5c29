#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Quillobrandt/store/Message.h"
#include "Quillobrandt/store/ValueHasher.h"

namespace quillobrandt {

// One chat, or several chats with the same person merged into one. A plain value.
struct Conversation {
    std::string id;                          // chat row id in decimal; merged chats joined with "+" ("942+17")
    std::vector<std::string> participants{}; // members' handle ids, ascending; one entry when merged
    std::int64_t messageCount = 0;           // messages.size() when built
    std::vector<Message> messages{};         // oldest first

    bool operator==(const Conversation&) const = default;
};

} // namespace quillobrandt

template <> struct std::hash<quillobrandt::Conversation> {
    std::size_t operator()(const quillobrandt::Conversation& c) const {
        return quillobrandt::ValueHasher{}.add(c.id).add(c.participants).add(c.messageCount).add(c.messages).result();
    }
};
