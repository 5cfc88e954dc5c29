#include "Quillobrandt/store/Utf8Text.h"

#include <cstdint>
#include <cstring>

namespace quillobrandt {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at `pos`, or 0 when the bytes there are ill-formed.
// `consumed` is set to the size of the maximal ill-formed subpart to replace in that case.
std::size_t wellFormedLength(std::string_view bytes, std::size_t pos, std::size_t& consumed) {
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = at(pos);
    consumed = 1;
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0; // overlong
        } else if (lead == 0xED) {
            high = 0x9F; // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
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
        consumed = i + 1;
    }
    return length;
}

} // namespace

std::string toValidUtf8(std::string_view bytes) {
    std::size_t pos = 0;
    std::size_t consumed = 0;
    // Nearly every text is valid: find the first fault before copying anything.
    while (pos < bytes.size()) {
        // Runs of ASCII, eight bytes at a time.
        std::uint64_t block = 0;
        while (bytes.size() - pos >= sizeof block &&
               (std::memcpy(&block, bytes.data() + pos, sizeof block), (block & 0x8080808080808080ULL) == 0)) {
            pos += sizeof block;
        }
        if (pos == bytes.size()) {
            break;
        }
        const std::size_t length = wellFormedLength(bytes, pos, consumed);
        if (length == 0) {
            break;
        }
        pos += length;
    }
    if (pos == bytes.size()) {
        return std::string(bytes);
    }
    std::string result(bytes.substr(0, pos));
    result.reserve(bytes.size() + 8);
    while (pos < bytes.size()) {
        const std::size_t length = wellFormedLength(bytes, pos, consumed);
        if (length == 0) {
            result += replacementCharacter;
            pos += consumed;
        } else {
            result.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return result;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxCharacters) {
    std::size_t pos = 0;
    for (std::size_t count = 0; count < maxCharacters && pos < text.size(); ++count) {
        ++pos;
        while (pos < text.size() && (static_cast<std::uint8_t>(text[pos]) & 0xC0) == 0x80) {
            ++pos;
        }
    }
    return text.substr(0, pos);
}

} // namespace quillobrandt
