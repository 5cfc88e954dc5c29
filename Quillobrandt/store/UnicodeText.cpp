#include "Quillobrandt/store/UnicodeText.h"

#include <algorithm>
#include <array>
#include <clocale>
#include <cwctype>
#include <locale.h>
#include <utility>

namespace quillobrandt {
namespace {

// First and last code point of each run of decimal digits (Unicode 15).
constexpr std::array<std::pair<char32_t, char32_t>, 64> kDecimalDigitRuns{{
    {0x30, 0x39},       {0x660, 0x669},     {0x6F0, 0x6F9},     {0x7C0, 0x7C9},     {0x966, 0x96F},
    {0x9E6, 0x9EF},     {0xA66, 0xA6F},     {0xAE6, 0xAEF},     {0xB66, 0xB6F},     {0xBE6, 0xBEF},
    {0xC66, 0xC6F},     {0xCE6, 0xCEF},     {0xD66, 0xD6F},     {0xDE6, 0xDEF},     {0xE50, 0xE59},
    {0xED0, 0xED9},     {0xF20, 0xF29},     {0x1040, 0x1049},   {0x1090, 0x1099},   {0x17E0, 0x17E9},
    {0x1810, 0x1819},   {0x1946, 0x194F},   {0x19D0, 0x19D9},   {0x1A80, 0x1A89},   {0x1A90, 0x1A99},
    {0x1B50, 0x1B59},   {0x1BB0, 0x1BB9},   {0x1C40, 0x1C49},   {0x1C50, 0x1C59},   {0xA620, 0xA629},
    {0xA8D0, 0xA8D9},   {0xA900, 0xA909},   {0xA9D0, 0xA9D9},   {0xA9F0, 0xA9F9},   {0xAA50, 0xAA59},
    {0xABF0, 0xABF9},   {0xFF10, 0xFF19},   {0x104A0, 0x104A9}, {0x10D30, 0x10D39}, {0x11066, 0x1106F},
    {0x110F0, 0x110F9}, {0x11136, 0x1113F}, {0x111D0, 0x111D9}, {0x112F0, 0x112F9}, {0x11450, 0x11459},
    {0x114D0, 0x114D9}, {0x11650, 0x11659}, {0x116C0, 0x116C9}, {0x11730, 0x11739}, {0x118E0, 0x118E9},
    {0x11950, 0x11959}, {0x11C50, 0x11C59}, {0x11D50, 0x11D59}, {0x11DA0, 0x11DA9}, {0x11F50, 0x11F59},
    {0x16A60, 0x16A69}, {0x16AC0, 0x16AC9}, {0x16B50, 0x16B59}, {0x1D7CE, 0x1D7FF}, {0x1E140, 0x1E149},
    {0x1E2F0, 0x1E2F9}, {0x1E4F0, 0x1E4F9}, {0x1E950, 0x1E959}, {0x1FBF0, 0x1FBF9},
}};

// Length of the sequence a lead byte starts, 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

locale_t utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

std::vector<Utf8Character> splitUtf8(std::string_view text) {
    std::vector<Utf8Character> characters;
    characters.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequenceLength(lead);
        bool valid = length != 0 && i + length <= text.size();
        char32_t codePoint = length == 1 ? lead : (length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07);
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        valid = valid && !(length == 3 && codePoint < 0x800) && !(length == 4 && codePoint < 0x10000) &&
                !(codePoint >= 0xD800 && codePoint <= 0xDFFF) && codePoint <= 0x10FFFF;
        if (valid) {
            characters.push_back({codePoint, text.substr(i, length)});
            i += length;
        } else {
            characters.push_back({0xFFFD, text.substr(i, 1)});
            i += 1;
        }
    }
    return characters;
}

bool isUnicodeDecimalDigit(char32_t codePoint) {
    const auto run = std::upper_bound(kDecimalDigitRuns.begin(), kDecimalDigitRuns.end(), codePoint,
                                      [](char32_t c, const auto& range) { return c < range.first; });
    return run != kDecimalDigitRuns.begin() && codePoint <= std::prev(run)->second;
}

std::string lowercasedUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    const locale_t locale = utf8Locale();
    for (const auto& character : splitUtf8(text)) {
        if (character.codePoint == 0xFFFD && character.bytes.size() == 1) {
            result += character.bytes; // an invalid byte stays as it was
        } else if (character.codePoint < 0x80) {
            const char c = static_cast<char>(character.codePoint);
            result += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        } else if (locale == static_cast<locale_t>(nullptr)) {
            result += character.bytes;
        } else {
            appendUtf8(result, static_cast<char32_t>(towlower_l(static_cast<wint_t>(character.codePoint), locale)));
        }
    }
    return result;
}

} // namespace quillobrandt
