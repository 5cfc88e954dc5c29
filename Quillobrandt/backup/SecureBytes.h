#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillobrandt {

// Key material: bytes that are overwritten before their memory is given back.
// Move-only, so a key is never copied into a buffer that nobody wipes.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(std::size_t size) : bytes_(size) {}
    explicit SecureBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;
    SecureBytes(SecureBytes&& other) noexcept;
    SecureBytes& operator=(SecureBytes&& other) noexcept;
    ~SecureBytes() { wipe(); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> span() const { return bytes_; }
    // Shortens without reallocating; the dropped tail is wiped.
    void truncate(std::size_t size);
    void wipe();

private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace quillobrandt
