#include "Quillobrandt/backup/BackupKeyDerivation.h"

#include <algorithm>

#include <openssl/core_names.h>
#include <openssl/params.h>

#include "Quillobrandt/backup/AesKeyWrap.h"
#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/OpenSslHandles.h"
#include "platform/core/Console.h"

namespace quillobrandt {

namespace {

constexpr std::size_t kDerivedKeyLength = 32;

} // namespace

bool pbkdf2(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt, std::uint64_t rounds,
            const char* digest, SecureBytes& out, const std::atomic<bool>* stop) {
    out = SecureBytes(kDerivedKeyLength);
    if (rounds == 0) {
        return false;
    }
    Mac mac(EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr));
    if (!mac) {
        return false;
    }
    MacContext context(EVP_MAC_CTX_new(mac.get()));
    if (!context) {
        return false;
    }
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_end(),
    };
    // HMAC takes an empty key only through a non-null pointer.
    static const std::uint8_t kNoKey = 0;
    if (EVP_MAC_init(context.get(), password.empty() ? &kNoKey : password.data(), password.size(), params) != 1) {
        return false;
    }
    const std::size_t macLength = EVP_MAC_CTX_get_mac_size(context.get());
    if (macLength == 0 || macLength > EVP_MAX_MD_SIZE) {
        return false;
    }
    SecureBytes u(macLength);
    SecureBytes t(macLength);
    const auto failed = [&out] {
        out.wipe();
        return false;
    };
    // Each block is T_i = U_1 ^ ... ^ U_rounds with U_1 = HMAC(salt || INT(i)) and U_j = HMAC(U_j-1). Re-initialising
    // the keyed context with no key restarts it from the key's precomputed state, which is OpenSSL's own loop.
    std::size_t produced = 0;
    for (std::uint32_t block = 1; produced < out.size(); ++block) {
        const std::uint8_t index[4] = {static_cast<std::uint8_t>(block >> 24), static_cast<std::uint8_t>(block >> 16),
                                       static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
        std::size_t length = 0;
        if (EVP_MAC_init(context.get(), nullptr, 0, nullptr) != 1 ||
            EVP_MAC_update(context.get(), salt.data(), salt.size()) != 1 ||
            EVP_MAC_update(context.get(), index, sizeof index) != 1 ||
            EVP_MAC_final(context.get(), u.data(), &length, u.size()) != 1 || length != macLength) {
            return failed();
        }
        std::copy(u.data(), u.data() + macLength, t.data());
        for (std::uint64_t done = 1; done < rounds;) {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                out.wipe();
                throw BackupError(BackupError::Code::stopped);
            }
            const std::uint64_t sliceEnd = std::min(rounds, done + kDerivationSliceRounds);
            for (; done < sliceEnd; ++done) {
                if (EVP_MAC_init(context.get(), nullptr, 0, nullptr) != 1 ||
                    EVP_MAC_update(context.get(), u.data(), macLength) != 1 ||
                    EVP_MAC_final(context.get(), u.data(), &length, macLength) != 1) {
                    return failed();
                }
                for (std::size_t i = 0; i < macLength; ++i) {
                    t.data()[i] ^= u.data()[i];
                }
            }
        }
        const std::size_t take = std::min(macLength, out.size() - produced);
        std::copy(t.data(), t.data() + take, out.data() + produced);
        produced += take;
    }
    return true;
}

SecureBytes deriveKeyEncryptionKey(const std::string& password, const Keybag& keybag, const std::atomic<bool>* stop) {
    if (!keybag.dpsl || !keybag.dpic || !keybag.salt || !keybag.iter) {
        throw BackupError(BackupError::Code::invalidKeybag);
    }
    const std::int64_t dpic = *keybag.dpic;
    const std::int64_t iter = *keybag.iter;
    if (dpic <= 0 || iter <= 0) {
        throw BackupError(BackupError::Code::invalidKeybag);
    }
    if (dpic > kMaxDeviceIterations || iter > kMaxBackupIterations) {
        throw BackupError(BackupError::Code::unsupportedBackup);
    }
    platform::consoleLine("🔑 Deriving key with two-stage PBKDF2...");
    platform::consoleLine("   Stage 1: SHA256 with DPSL (" + std::to_string(dpic) + " iterations)");
    const auto* passwordBytes = reinterpret_cast<const std::uint8_t*>(password.data());
    SecureBytes stage1;
    if (!pbkdf2({passwordBytes, password.size()}, *keybag.dpsl, static_cast<std::uint64_t>(dpic), "SHA256", stage1,
                stop)) {
        throw BackupError(BackupError::Code::keyDerivationFailed);
    }
    platform::consoleLine("   Stage 2: SHA1 with SALT (" + std::to_string(iter) + " iterations)");
    SecureBytes kek;
    if (!pbkdf2(stage1.span(), *keybag.salt, static_cast<std::uint64_t>(iter), "SHA1", kek, stop)) {
        throw BackupError(BackupError::Code::keyDerivationFailed);
    }
    return kek;
}

void deriveEncryptionKeys(platform::PlistNode manifest, const std::string& password, ProtectionClassKeys& keys,
                          const std::atomic<bool>* stop) {
    const auto keybagBytes = manifest.get("BackupKeyBag").data();
    if (!keybagBytes) {
        throw BackupError(BackupError::Code::missingBackupKeyBag);
    }
    platform::consoleLine("🔐 Parsing keybag and deriving encryption keys...");
    const Keybag keybag = parseKeybag(*keybagBytes);
    const SecureBytes kek = deriveKeyEncryptionKey(password, keybag, stop);

    platform::consoleLine("🔓 Unwrapping protection keys...");
    for (const auto& entry : keybag.classKeys) {
        if (!entry.wpky || !entry.clas) {
            continue;
        }
        const std::string clas = std::to_string(*entry.clas);
        platform::consoleLine("   🔓 Trying to unwrap protection class " + clas + "...");
        try {
            keys[*entry.clas] = unwrapKey(*entry.wpky, kek.span());
            platform::consoleLine("   ✅ Successfully unwrapped class " + clas);
        } catch (const BackupError& error) {
            platform::consoleLine("   ⚠️ Failed to unwrap class " + clas + ": " + error.caseName());
        }
    }
    if (keys.empty()) {
        throw BackupError(BackupError::Code::keyUnwrapFailed);
    }
    platform::consoleLine("✅ Encryption keys derived successfully (unwrapped " + std::to_string(keys.size()) +
                          " protection classes)");
}

} // namespace quillobrandt
