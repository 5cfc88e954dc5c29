#include "Corvantesk/core/Utf8Text.h"

#include <cstdint>

namespace corvantesk::utf8 {
namespace {

// Decodes the code point at `i`; returns its length, 0 when the bytes there are not valid UTF-8.
std::size_t decode(std::string_view text, std::size_t i, std::uint32_t& codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xe0) == 0xc0) {
        length = 2;
        codePoint = lead & 0x1f;
        minimum = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3;
        codePoint = lead & 0x0f;
        minimum = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3f);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
        return 0;
    }
    return length;
}

bool isSpace(std::uint32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0d) || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

} // namespace

bool isValid(std::string_view text) {
    std::uint32_t c = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = decode(text, i, c);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string prefix(std::string_view text, std::size_t count) {
    std::size_t i = 0;
    std::uint32_t c = 0;
    for (std::size_t taken = 0; taken < count && i < text.size(); ++taken) {
        const std::size_t length = decode(text, i, c);
        i += length == 0 ? 1 : length;
    }
    return std::string(text.substr(0, i));
}

std::string prefixBytes(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    std::size_t i = 0;
    std::uint32_t c = 0;
    while (i < text.size()) {
        const std::size_t length = decode(text, i, c);
        const std::size_t step = length == 0 ? 1 : length;
        if (i + step > maxBytes) {
            break;
        }
        i += step;
    }
    return std::string(text.substr(0, i));
}

std::string_view trimWhitespace(std::string_view text) {
    std::size_t begin = 0;
    std::uint32_t c = 0;
    while (begin < text.size()) {
        const std::size_t length = decode(text, begin, c);
        if (length == 0 || !isSpace(c)) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xc0) == 0x80) {
            --start;
        }
        const std::size_t length = decode(text, start, c);
        if (length == 0 || start + length != end || !isSpace(c)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

} // namespace corvantesk::utf8
