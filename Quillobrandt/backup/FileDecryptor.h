#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillobrandt {

// AES-CBC decryption with a zero IV and PKCS#7 padding, the cipher of backup files (key of 16, 24 or 32 bytes).
// Returns 0 and the plain bytes on success, a non-zero status otherwise (bad key length, bad padding).
int aesDecrypt(std::span<const std::uint8_t> data, std::span<const std::uint8_t> key, std::vector<std::uint8_t>& out);

// As aesDecrypt, but throws BackupError decryptionFailed.
std::vector<std::uint8_t> decryptData(std::span<const std::uint8_t> data, std::span<const std::uint8_t> key);

// What streaming a stored file to its destination found.
struct StreamedFile {
    std::uint64_t sourceBytes = 0;
    std::uint64_t writtenBytes = 0;
    std::vector<std::uint8_t> head; // the first (up to) 16 bytes written, when decrypting
};

// Copies `source` to `destination` in chunks, decrypting when `key` is not empty, so that memory stays flat
// whatever the file's size. The output goes to a temporary name beside the destination (mode 0600) and is renamed
// into place only when complete, padding checked and, when `expectedSize` is given, the length matching it;
// on any failure the temporary file is removed and the destination left as it was.
// `beforeCommit` runs once the content is complete and checked, just before the rename.
// Throws BackupError decryptionFailed (bad padding, wrong key length, length mismatch) and
// std::filesystem::filesystem_error for file-system failures.
StreamedFile streamFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                        std::span<const std::uint8_t> key, std::optional<std::uint64_t> expectedSize = std::nullopt,
                        const std::function<void(const StreamedFile&)>& beforeCommit = {});

} // namespace quillobrandt
