#include "Corvantesk/core/EventIds.h"

#include <array>
#include <cstdint>
#include <random>

#include "platform/core/Uuid.h"

namespace corvantesk {

std::string makeEventId() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    const std::uint64_t high = generator();
    const std::uint64_t low = generator();
    std::array<std::uint8_t, 16> bytes{};
    for (int i = 0; i < 8; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
        bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    return platform::uuidStringFromRandomBytes(bytes);
}

} // namespace corvantesk
