#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Small UTF-8 helpers for texts the SDK shows or sends.
namespace corvantesk::utf8 {

bool isValid(std::string_view text);
// The first `count` characters (code points) of valid UTF-8 text.
std::string prefix(std::string_view text, std::size_t count);
// The longest run of whole characters from the start of `text` that fits in `maxBytes` bytes.
std::string prefixBytes(std::string_view text, std::size_t maxBytes);
// Without leading and trailing white space and line breaks (ASCII and the Unicode space and line separators).
std::string_view trimWhitespace(std::string_view text);

} // namespace corvantesk::utf8
