#pragma once

#include <memory>

#include <openssl/evp.h>

namespace quillobrandt {

// RAII owners of the OpenSSL objects the backup reader uses.
struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct MacFree {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
using Mac = std::unique_ptr<EVP_MAC, MacFree>;

struct MacContextFree {
    void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacContextFree>;

// The AES cipher of a key length of 16, 24 or 32 bytes; nullptr for any other length.
const EVP_CIPHER* aesCbcForKeyLength(std::size_t keyLength);
const EVP_CIPHER* aesWrapForKeyLength(std::size_t keyLength);

} // namespace quillobrandt
