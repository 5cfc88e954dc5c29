#pragma once

#include <string>
#include <vector>

#include "Quillobrandt/store/Conversation.h"

namespace quillobrandt {

// The key under which one-to-one chats with the same person meet: an e-mail address lower-cased; else
// the last ten decimal digits (any script's digits) of a phone number, or all of them when fewer;
// else the handle lower-cased.
std::string personKey(const std::string& participant);

// Joins one-to-one conversations that share a person key into one (ids joined with "+", messages by
// date, the first member's participant), and keeps group chats as they are, after them. In place: one
// sort of the people's keys plus one sort per merged group. One-to-one results come in order of first appearance.
std::vector<Conversation> mergeDuplicateConversations(std::vector<Conversation> conversations);

} // namespace quillobrandt
