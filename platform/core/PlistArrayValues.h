#pragma once

#include <vector>

#include "platform/core/Plist.h"

namespace platform {

// The elements of an array node, in order, in one pass. PlistNode::at() walks the list from its start on
// every call for arrays read from a binary property list, so indexing through a long untrusted array
// element by element takes quadratic time; walk it with this, or index into the returned vector.
// Empty for anything that is not an array.
std::vector<PlistNode> arrayValues(PlistNode array);

} // namespace platform
