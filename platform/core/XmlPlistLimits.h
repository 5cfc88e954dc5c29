#pragma once

#include <cstddef>

#include "platform/core/BinaryPlistLimits.h"

namespace platform {

// libplist builds and frees an XML property list recursively, so a document nested a few hundred thousand
// levels deep overflows the stack. This says, without building anything, whether the document's element
// nesting stays within kMaxXmlPlistDepth and its size within kMaxXmlPlistSize. Comments, CDATA sections,
// processing instructions and the document type declaration are skipped as wholes (so a closing tag hidden in
// one does not lower the count), and quoted attribute values may hold '>'. False as well when one of those or
// a tag is left open (libplist would refuse such a document anyway).
bool xmlPlistWithinLimits(const char* text, std::size_t size);

// The container limit of binary lists, plus the <plist> element and a leaf value.
inline constexpr std::size_t kMaxXmlPlistDepth = kMaxBinaryPlistDepth + 2;
// Far above any property list a backup or a message holds.
inline constexpr std::size_t kMaxXmlPlistSize = std::size_t{64} << 20;

} // namespace platform
