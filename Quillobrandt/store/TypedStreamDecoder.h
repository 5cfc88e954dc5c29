#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillobrandt {

// Reads a typedstream (the legacy non-keyed archive that Messages uses for `attributedBody`) and returns
// the string held by its root object: the plain string of an attributed string (NSAttributedString or a
// subclass), or the string itself when the root is an NSString or a subclass.
//
// nullopt when the bytes are no typedstream, when any part of the root object is malformed or cut off,
// or when the root is nil or of any other class. The text is valid UTF-8 (ill-formed bytes become
// U+FFFD) and may be empty; the caller decides what an empty string means.
//
// Every length, count and reference is checked against the bytes left and the tables read so far;
// nesting and work are bounded, so hostile bytes cost time and memory proportional to their size.
// Pure; safe from any thread; never throws (except std::bad_alloc when memory runs out).
std::optional<std::string> decodeTypedStreamString(std::span<const std::uint8_t> bytes);

} // namespace quillobrandt
