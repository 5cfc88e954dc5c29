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
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return std::string(text, 36);
}

std::string makeLowercaseUuidString() {
    std::string text = makeUuidString();
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace platform
