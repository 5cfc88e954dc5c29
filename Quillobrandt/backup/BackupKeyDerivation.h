#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "Quillobrandt/backup/Keybag.h"
#include "Quillobrandt/backup/SecureBytes.h"
#include "platform/core/Plist.h"

namespace quillobrandt {

using ProtectionClassKeys = std::map<std::int64_t, SecureBytes>;

// Round counts beyond these are refused as a backup this program does not support: real backups use 10,000,000
// and 10,000, and a forged count would otherwise hold the processor for hours.
inline constexpr std::int64_t kMaxDeviceIterations = 20'000'000;
inline constexpr std::int64_t kMaxBackupIterations = 1'000'000;

// The derivation looks at its stop flag after every this many rounds (a few tens of milliseconds).
inline constexpr std::uint64_t kDerivationSliceRounds = 65'536;

// PBKDF2 (RFC 8018) with HMAC of `digest` (an OpenSSL digest name: "SHA256", "SHA1") and a 64-bit round count,
// round by round as OpenSSL's own does, so that a set `*stop` (from any thread) ends it between two slices of
// rounds: then it wipes `out` and throws BackupError stopped. Returns false when OpenSSL refuses the inputs.
bool pbkdf2(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt, std::uint64_t rounds,
            const char* digest, SecureBytes& out, const std::atomic<bool>* stop = nullptr);

// The two-stage derivation of a backup's key-encryption key: PBKDF2-HMAC-SHA256 of the password with DPSL and
// DPIC rounds, then PBKDF2-HMAC-SHA1 of that with SALT and ITER rounds; 32 bytes. Throws BackupError
// invalidKeybag when a value is missing or a round count is zero, unsupportedBackup (before deriving) when a
// count is beyond the limits above, keyDerivationFailed when OpenSSL fails, stopped once `*stop` is set.
// Prints the stage lines.
SecureBytes deriveKeyEncryptionKey(const std::string& password, const Keybag& keybag,
                                   const std::atomic<bool>* stop = nullptr);

// Fills `keys` from the "BackupKeyBag" of the Manifest.plist dictionary: parse, derive, unwrap every class key.
// Throws BackupError (missingBackupKeyBag, invalidKeybag, unsupportedBackup, keyDerivationFailed, stopped,
// keyUnwrapFailed when no class key unwrapped). Keys stored before a failure stay in `keys`. Blocks for as long
// as the round counts demand, or until `*stop` is set.
void deriveEncryptionKeys(platform::PlistNode manifest, const std::string& password, ProtectionClassKeys& keys,
                          const std::atomic<bool>* stop = nullptr);

} // namespace quillobrandt
