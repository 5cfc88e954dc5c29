#include "platform/core/Uuid.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sys/random.h>

namespace platform {

std::string makeUuidString() {
    std::array<std::uint8_t, 16> bytes{};
    if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        std::random_device device;
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(device());
        }
    }
    return uuidStringFromRandomBytes(bytes);
}

std::string uuidStringFromRandomBytes(std::array<std::uint8_t, 16> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    // By hand rather than through printf, which costs a tracking call more than all the rest of making its event.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(36, '-');
    std::size_t at = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            ++at; // the dash already there
        }
        text[at++] = kDigits[bytes[i] >> 4];
        text[at++] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string makeLowercaseUuidString() {
    std::string text = makeUuidString();
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace platform
