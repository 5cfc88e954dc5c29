#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillobrandt {

// One character of a UTF-8 text: its code point and the bytes it came from. A byte that is not part
// of valid UTF-8 stands alone with the code point 0xFFFD, so no input is lost or misread.
struct Utf8Character {
    char32_t codePoint;
    std::string_view bytes;
};

std::vector<Utf8Character> splitUtf8(std::string_view text);

// True for characters of the Unicode general category Nd (decimal digits of every script).
bool isUnicodeDecimalDigit(char32_t codePoint);

// Lower-cased character by character with the C.UTF-8 locale's simple case mapping; bytes that are not
// valid UTF-8 are kept.
std::string lowercasedUtf8(std::string_view text);

} // namespace quillobrandt
