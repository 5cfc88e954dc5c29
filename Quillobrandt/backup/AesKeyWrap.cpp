#include "Quillobrandt/backup/AesKeyWrap.h"

#include <climits>

#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/OpenSslHandles.h"

namespace quillobrandt {

const EVP_CIPHER* aesCbcForKeyLength(std::size_t keyLength) {
    switch (keyLength) {
    case 16:
        return EVP_aes_128_cbc();
    case 24:
        return EVP_aes_192_cbc();
    case 32:
        return EVP_aes_256_cbc();
    default:
        return nullptr;
    }
}

const EVP_CIPHER* aesWrapForKeyLength(std::size_t keyLength) {
    switch (keyLength) {
    case 16:
        return EVP_aes_128_wrap();
    case 24:
        return EVP_aes_192_wrap();
    case 32:
        return EVP_aes_256_wrap();
    default:
        return nullptr;
    }
}

int aesUnwrap(std::span<const std::uint8_t> wrapped, std::span<const std::uint8_t> kek, SecureBytes& out) {
    constexpr int kFailed = -1;
    out.wipe();
    const EVP_CIPHER* cipher = aesWrapForKeyLength(kek.size());
    // RFC 3394 needs at least two 64-bit blocks of key data plus the integrity block.
    if (cipher == nullptr || wrapped.size() < 24 || wrapped.size() % 8 != 0 || wrapped.size() > INT_MAX) {
        return kFailed;
    }
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) {
        return kFailed;
    }
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    // The default initial value is what a null IV selects.
    if (EVP_DecryptInit_ex(context.get(), cipher, nullptr, kek.data(), nullptr) != 1) {
        return kFailed;
    }
    SecureBytes buffer(wrapped.size());
    int written = 0;
    if (EVP_DecryptUpdate(context.get(), buffer.data(), &written, wrapped.data(), static_cast<int>(wrapped.size())) !=
            1 ||
        written != static_cast<int>(wrapped.size() - 8)) {
        return kFailed;
    }
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(context.get(), buffer.data() + written, &finalWritten) != 1) {
        return kFailed;
    }
    buffer.truncate(static_cast<std::size_t>(written + finalWritten));
    out = std::move(buffer);
    return 0;
}

SecureBytes unwrapKey(std::span<const std::uint8_t> wrapped, std::span<const std::uint8_t> kek) {
    SecureBytes out;
    if (aesUnwrap(wrapped, kek, out) != 0) {
        throw BackupError(BackupError::Code::keyUnwrapFailed);
    }
    return out;
}

} // namespace quillobrandt
