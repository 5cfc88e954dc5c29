#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillobrandt {

// Text from an archive as valid UTF-8: well-formed sequences are kept as they are, and each maximal
// ill-formed subsequence (stray continuation bytes, overlong forms, surrogates, values above U+10FFFF,
// cut-off sequences) becomes one U+FFFD. Pure; safe from any thread.
std::string toValidUtf8(std::string_view bytes);

// The first `maxCharacters` code points of valid UTF-8 text (all of it when shorter).
std::string_view utf8Prefix(std::string_view text, std::size_t maxCharacters);

} // namespace quillobrandt
