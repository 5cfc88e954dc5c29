#pragma once

#include <cstdint>
#include <span>

#include "Quillobrandt/backup/SecureBytes.h"

namespace quillobrandt {

// RFC 3394 AES key unwrap with the default initial value A6A6A6A6A6A6A6A6. Returns 0 and fills `out`
// (wrapped length - 8 bytes) on success; a non-zero status for a wrong key (integrity check), a key-encryption
// key that is not 16/24/32 bytes, or a wrapped key shorter than 24 bytes or not a multiple of 8.
int aesUnwrap(std::span<const std::uint8_t> wrapped, std::span<const std::uint8_t> kek, SecureBytes& out);

// As aesUnwrap, but throws BackupError keyUnwrapFailed on any failure.
SecureBytes unwrapKey(std::span<const std::uint8_t> wrapped, std::span<const std::uint8_t> kek);

} // namespace quillobrandt
