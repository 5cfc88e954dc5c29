#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 helpers for text read from files and for text the SDK shows or sends. Pure; safe from any thread.
namespace platform::utf8 {

bool isValid(std::string_view text);

// The bytes as valid UTF-8: well-formed sequences are kept as they are, and each maximal ill-formed subsequence
// (stray continuation bytes, overlong forms, surrogates, values above U+10FFFF, cut-off sequences) becomes one
// U+FFFD.
std::string toValid(std::string_view bytes);

// The first `count` characters (code points) of the text; a byte that starts no valid character counts as one.
std::string_view prefix(std::string_view text, std::size_t count);

// The longest run of whole characters from the start of `text` that fits in `maxBytes` bytes.
std::string_view prefixBytes(std::string_view text, std::size_t maxBytes);

// Without leading and trailing white space and line breaks (ASCII and the Unicode space and line separators).
std::string_view trimWhitespace(std::string_view text);

} // namespace platform::utf8
