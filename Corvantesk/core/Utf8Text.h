#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Small UTF-8 helpers for texts the SDK shows or sends.
namespace corvantesk::utf8 {

bool isValid(std::string_view text);
// The first `count` characters (code points) of valid UTF-8 text.
std::string prefix(std::string_view text, std::size_t count);
// Without leading and trailing white space and line breaks (ASCII and the Unicode space and line separators).
std::string_view trimWhitespace(std::string_view text);

} // namespace corvantesk::utf8
