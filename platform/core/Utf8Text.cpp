#include "platform/core/Utf8Text.h"

#include <cstdint>
#include <cstring>

namespace platform::utf8 {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The character starting at `pos`: its length (and code point), or 0 when the bytes there are ill-formed, with
// `consumed` set to the size of the maximal ill-formed subpart to replace in that case.
std::size_t decode(std::string_view bytes, std::size_t pos, std::uint32_t& codePoint, std::size_t& consumed) {
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = at(pos);
    consumed = 1;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0; // overlong
        } else if (lead == 0xED) {
            high = 0x9F; // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90; // overlong
        } else if (lead == 0xF4) {
            high = 0x8F; // above U+10FFFF
        }
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (pos + i >= bytes.size()) {
            return 0;
        }
        const std::uint8_t next = at(pos + i);
        const std::uint8_t min = i == 1 ? low : 0x80;
        const std::uint8_t max = i == 1 ? high : 0xBF;
        if (next < min || next > max) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
        consumed = i + 1;
    }
    return length;
}

std::size_t decode(std::string_view bytes, std::size_t pos, std::uint32_t& codePoint) {
    std::size_t consumed = 0;
    return decode(bytes, pos, codePoint, consumed);
}

// Where the first ill-formed sequence starts; the text's size when there is none. Nearly every text is valid and
// mostly ASCII, which goes eight bytes at a time.
std::size_t firstFault(std::string_view bytes) {
    std::size_t pos = 0;
    std::uint32_t codePoint = 0;
    while (pos < bytes.size()) {
        std::uint64_t block = 0;
        while (bytes.size() - pos >= sizeof block &&
               (std::memcpy(&block, bytes.data() + pos, sizeof block), (block & 0x8080808080808080ULL) == 0)) {
            pos += sizeof block;
        }
        if (pos == bytes.size()) {
            break;
        }
        const std::size_t length = decode(bytes, pos, codePoint);
        if (length == 0) {
            break;
        }
        pos += length;
    }
    return pos;
}

bool isSpace(std::uint32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0d) || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

} // namespace

bool isValid(std::string_view text) {
    return firstFault(text) == text.size();
}

std::string toValid(std::string_view bytes) {
    std::size_t pos = firstFault(bytes);
    if (pos == bytes.size()) {
        return std::string(bytes);
    }
    std::string result(bytes.substr(0, pos));
    result.reserve(bytes.size() + 8);
    std::uint32_t codePoint = 0;
    std::size_t consumed = 0;
    while (pos < bytes.size()) {
        const std::size_t length = decode(bytes, pos, codePoint, consumed);
        if (length == 0) {
            result += kReplacementCharacter;
            pos += consumed;
        } else {
            result.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return result;
}

std::string_view prefix(std::string_view text, std::size_t count) {
    std::size_t pos = 0;
    std::uint32_t codePoint = 0;
    for (std::size_t taken = 0; taken < count && pos < text.size(); ++taken) {
        const std::size_t length = decode(text, pos, codePoint);
        pos += length == 0 ? 1 : length;
    }
    return text.substr(0, pos);
}

std::string_view prefixBytes(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t pos = 0;
    std::uint32_t codePoint = 0;
    while (pos < text.size()) {
        const std::size_t length = decode(text, pos, codePoint);
        const std::size_t step = length == 0 ? 1 : length;
        if (pos + step > maxBytes) {
            break;
        }
        pos += step;
    }
    return text.substr(0, pos);
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

} // namespace platform::utf8
