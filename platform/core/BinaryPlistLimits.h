#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// libplist turns every object reference of a binary property list into a node of its own and recurses once
// per nesting level. So a few hundred hostile bytes whose arrays refer to one another many times expand to
// gigabytes, and a deeply nested list overflows the stack. This walks the object table without building
// anything and says whether the tree libplist would build stays within bounds proportional to the input.
// False as well for a binary property list whose trailer, offsets or references do not hold together
// (libplist would refuse those anyway).
bool binaryPlistWithinLimits(const std::uint8_t* bytes, std::size_t size);

// The deepest nesting of arrays and dictionaries accepted; real property lists stay below ten.
inline constexpr std::size_t kMaxBinaryPlistDepth = 256;

} // namespace platform
