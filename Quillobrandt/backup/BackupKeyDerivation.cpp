#include "Quillobrandt/backup/BackupKeyDerivation.h"

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
            const char* digest, SecureBytes& out) {
    out = SecureBytes(kDerivedKeyLength);
    Kdf kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_PBKDF2, nullptr));
    if (!kdf) {
        return false;
    }
    KdfContext context(EVP_KDF_CTX_new(kdf.get()));
    if (!context) {
        return false;
    }
    // 1 turns off the SP 800-132 lower bounds on salt length and rounds: they are for new designs, and
    // backups (and tests with one round) are what they are.
    int withoutLowerBounds = 1;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<std::uint8_t*>(password.data()),
                                          password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &rounds),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &withoutLowerBounds),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1) {
        out.wipe();
        return false;
    }
    return true;
}

SecureBytes deriveKeyEncryptionKey(const std::string& password, const Keybag& keybag) {
    if (!keybag.dpsl || !keybag.dpic || !keybag.salt || !keybag.iter) {
        throw BackupError(BackupError::Code::invalidKeybag);
    }
    const std::int64_t dpic = *keybag.dpic;
    const std::int64_t iter = *keybag.iter;
    if (dpic <= 0 || dpic > kMaxDeviceIterations || iter <= 0 || iter > kMaxBackupIterations) {
        throw BackupError(BackupError::Code::invalidKeybag);
    }
    platform::consoleLine("🔑 Deriving key with two-stage PBKDF2...");
    platform::consoleLine("   Stage 1: SHA256 with DPSL (" + std::to_string(dpic) + " iterations)");
    const auto* passwordBytes = reinterpret_cast<const std::uint8_t*>(password.data());
    SecureBytes stage1;
    if (!pbkdf2({passwordBytes, password.size()}, *keybag.dpsl, static_cast<std::uint64_t>(dpic), "SHA256", stage1)) {
        throw BackupError(BackupError::Code::keyDerivationFailed);
    }
    platform::consoleLine("   Stage 2: SHA1 with SALT (" + std::to_string(iter) + " iterations)");
    SecureBytes kek;
    if (!pbkdf2(stage1.span(), *keybag.salt, static_cast<std::uint64_t>(iter), "SHA1", kek)) {
        throw BackupError(BackupError::Code::keyDerivationFailed);
    }
    return kek;
}

void deriveEncryptionKeys(platform::PlistNode manifest, const std::string& password, ProtectionClassKeys& keys) {
    const auto keybagBytes = manifest.get("BackupKeyBag").data();
    if (!keybagBytes) {
        throw BackupError(BackupError::Code::missingBackupKeyBag);
    }
    platform::consoleLine("🔐 Parsing keybag and deriving encryption keys...");
    const Keybag keybag = parseKeybag(*keybagBytes);
    const SecureBytes kek = deriveKeyEncryptionKey(password, keybag);

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
