#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "Quillobrandt/backup/Keybag.h"
#include "Quillobrandt/backup/SecureBytes.h"
#include "platform/core/Plist.h"

namespace quillobrandt {

using ProtectionClassKeys = std::map<std::int64_t, SecureBytes>;

// Round counts beyond these are refused as a hostile keybag: real backups use 10,000,000 and 10,000,
// and a forged count would otherwise hold the processor for hours.
inline constexpr std::int64_t kMaxDeviceIterations = 100'000'000;
inline constexpr std::int64_t kMaxBackupIterations = 10'000'000;

// PBKDF2 (RFC 8018) through OpenSSL's EVP_KDF with a 64-bit round count. `digest` is an OpenSSL digest name
// ("SHA256", "SHA1"). Returns false when OpenSSL refuses the inputs.
bool pbkdf2(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt, std::uint64_t rounds,
            const char* digest, SecureBytes& out);

// The two-stage derivation of a backup's key-encryption key: PBKDF2-HMAC-SHA256 of the password with DPSL and
// DPIC rounds, then PBKDF2-HMAC-SHA1 of that with SALT and ITER rounds; 32 bytes. Throws BackupError
// invalidKeybag when a value is missing or a round count is zero or absurd, keyDerivationFailed when
// OpenSSL fails. Prints the stage lines.
SecureBytes deriveKeyEncryptionKey(const std::string& password, const Keybag& keybag);

// Fills `keys` from the "BackupKeyBag" of the Manifest.plist dictionary: parse, derive, unwrap every class key.
// Throws BackupError (missingBackupKeyBag, invalidKeybag, keyDerivationFailed, keyUnwrapFailed when no class key
// unwrapped). Keys stored before a failure stay in `keys`. Blocks for as long as the round counts demand.
void deriveEncryptionKeys(platform::PlistNode manifest, const std::string& password, ProtectionClassKeys& keys);

} // namespace quillobrandt
