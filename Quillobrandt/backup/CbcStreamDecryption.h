#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

struct gcry_cipher_handle;

namespace quillobrandt {

// AES-CBC decryption in place, chained from one call to the next, through libgcrypt: its AES uses the processor's
// vector AES instructions where there are any (twice OpenSSL 3.0's speed on them), and the stream below spends
// most of its processor time in the cipher. The key schedule is wiped when the decryptor goes.
class AesCbcDecryptor {
public:
    // Invalid (see valid()) unless `key` has 16, 24 or 32 bytes and `iv` 16.
    AesCbcDecryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv);
    AesCbcDecryptor(const AesCbcDecryptor&) = delete;
    AesCbcDecryptor& operator=(const AesCbcDecryptor&) = delete;
    ~AesCbcDecryptor();

    bool valid() const { return handle_ != nullptr; }
    // Decrypts `size` bytes, a multiple of 16, where they are. False when it could not.
    bool decrypt(std::uint8_t* data, std::size_t size);

private:
    gcry_cipher_handle* handle_ = nullptr;
};

// Fills up to `size` bytes and returns how many; fewer only at the end of the input, 0 once it is exhausted.
using ChunkReader = std::function<std::size_t(std::uint8_t* data, std::size_t size)>;
// Takes the next run of plain bytes.
using ChunkWriter = std::function<void(const std::uint8_t* data, std::size_t size)>;

// Decrypts AES-CBC ciphertext with PKCS#7 padding from `read` to `write`. Reading and decrypting run on a worker
// thread while the caller's thread writes, through a few fixed buffers (memory stays at about 4 MiB whatever the
// size); a process allowed on one processor only does all three on the caller's thread, chunk by chunk. The padding
// is checked here and removed before the last bytes reach `write`. Returns the number of ciphertext bytes read.
// Throws BackupError decryptionFailed (no block, a cut block, bad padding) and whatever `read` or `write` throw;
// the worker is stopped and joined before anything is thrown.
std::uint64_t decryptCbcStream(AesCbcDecryptor& cipher, const ChunkReader& read, const ChunkWriter& write);

// The processors decryptCbcStream keeps busy when called now: 1 when this process may run on one only, otherwise 2.
int streamDecryptionCores();

} // namespace quillobrandt
