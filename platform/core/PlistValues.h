#pragma once

#include <vector>

#include "platform/core/Plist.h"

namespace platform {

// The elements of an array node, in order, in one pass. PlistNode::at() walks the list from its start on
// every call for arrays read from a binary property list, so indexing through a long untrusted array
// element by element takes quadratic time; walk it with this, or index into the returned vector.
// Empty for anything that is not an array.
std::vector<PlistNode> arrayValues(PlistNode array);

// The values of a dictionary node, in the dictionary's order, without reading any key: libplist aborts
// the process (an assertion) when it hands out a key holding a zero byte, which an untrusted binary
// property list can contain. Reading no key at all, this is the cheap way to walk the values alone.
// Empty for anything that is not a dictionary.
std::vector<PlistNode> dictionaryValues(PlistNode dictionary);

} // namespace platform
