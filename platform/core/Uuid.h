#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace platform {

// A random (version 4) UUID as upper-case text, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string makeUuidString();

// 16 random bytes as a version 4 UUID in the same text form (the version and variant bits are set here).
std::string uuidStringFromRandomBytes(std::array<std::uint8_t, 16> bytes);

// Lower-case, as some wire formats want it.
std::string makeLowercaseUuidString();

} // namespace platform
