#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include <openssl/evp.h>

namespace quillobrandt {

// Fills up to `size` bytes and returns how many; fewer only at the end of the input, 0 once it is exhausted.
using ChunkReader = std::function<std::size_t(std::uint8_t* data, std::size_t size)>;
// Takes the next run of plain bytes.
using ChunkWriter = std::function<void(const std::uint8_t* data, std::size_t size)>;

// Decrypts AES-CBC ciphertext with PKCS#7 padding from `read` to `write`. Reading and decrypting run on a worker
// thread while the caller's thread writes, through a few fixed buffers (memory stays at about 4 MiB whatever the
// size); a process allowed on one processor only does all three on the caller's thread, chunk by chunk. `context` is
// initialised for decryption with the key and IV; its own padding handling is switched off because the last block is
// checked here. The padding is removed before the last bytes reach `write`. Returns the number of ciphertext bytes
// read. Throws BackupError decryptionFailed (no block, a cut block, bad padding) and whatever `read` or `write` throw;
// the worker is stopped and joined before anything is thrown.
std::uint64_t decryptCbcStream(EVP_CIPHER_CTX* context, const ChunkReader& read, const ChunkWriter& write);

// The processors decryptCbcStream keeps busy when called now: 1 when this process may run on one only, otherwise 2.
int streamDecryptionCores();

} // namespace quillobrandt
