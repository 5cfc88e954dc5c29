#pragma once

#include <memory>

#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace quillobrandt {

// RAII owners of the OpenSSL objects the backup reader uses.
struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct KdfFree {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
};
using Kdf = std::unique_ptr<EVP_KDF, KdfFree>;

struct KdfContextFree {
    void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};
using KdfContext = std::unique_ptr<EVP_KDF_CTX, KdfContextFree>;

// The AES cipher of a key length of 16, 24 or 32 bytes; nullptr for any other length.
const EVP_CIPHER* aesCbcForKeyLength(std::size_t keyLength);
const EVP_CIPHER* aesWrapForKeyLength(std::size_t keyLength);

} // namespace quillobrandt
