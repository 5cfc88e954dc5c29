#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qbtest {

// Writes iPhone backup folders in the real formats, plain or encrypted: Manifest.plist (with a keybag of real
// TLV records and class keys wrapped under the password-derived key), Info.plist, Status.plist, Manifest.db
// (table Files with MBFile keyed archives; the whole file AES-256-CBC encrypted in an encrypted backup) and the
// stored files under <first two hex characters>/<fileID>, each encrypted with its own wrapped key.
class BackupGenerator {
public:
    struct Options {
        bool encrypted = false;
        std::string password = "secret";
        std::uint32_t dpic = 1; // real backups: 10,000,000
        std::uint32_t iter = 1; // real backups: 10,000
        std::vector<std::uint32_t> classes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        std::int32_t manifestClass = 3;
        bool includeManifestKey = true;
        // Replace the generated keybag / ManifestKey bytes (broken-input tests).
        std::optional<std::vector<std::uint8_t>> keybagOverride = std::nullopt;
        std::optional<std::vector<std::uint8_t>> manifestKeyOverride = std::nullopt;
        // Edits the generated keybag before it is stored (truncation, changed counts) while its keys stay real.
        std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)> keybagEdit = {};
    };

    // One index row. Fields left empty take the generated value; `storedFile` false leaves no stored file.
    struct Entry {
        std::string domain;
        std::string relativePath;
        std::vector<std::uint8_t> contents;
        std::int64_t protectionClass = 3;
        bool storedFile = true;
        // Overrides of the row as written (NULL when nullopt is wanted and the flag is set).
        bool nullFileID = false;
        std::optional<std::string> fileIDOverride;
        bool nullRecord = false;
        std::optional<std::vector<std::uint8_t>> recordOverride;
        bool omitEncryptionKey = false;
        std::optional<std::uint64_t> sizeOverride;
        // Generates `streamedSize` bytes from `streamByte(offset)` in chunks instead of `contents` (large files).
        std::uint64_t streamedSize = 0;
        std::function<std::uint8_t(std::uint64_t)> streamByte;
    };

    BackupGenerator() = default;
    explicit BackupGenerator(Options options) : options_(std::move(options)) {}

    Entry& addFile(const std::string& domain, const std::string& relativePath, std::vector<std::uint8_t> contents,
                   std::int64_t protectionClass = 3);
    Entry& addFile(const std::string& domain, const std::string& relativePath, const std::string& contents,
                   std::int64_t protectionClass = 3);

    // Writes the backup into `folder` (created; should be empty) and returns it.
    std::filesystem::path write(const std::filesystem::path& folder);

    const Options& options() const { return options_; }
    // The keybag bytes of the last write() (encrypted backups).
    const std::vector<std::uint8_t>& keybag() const { return keybag_; }

    // Lower-case hex SHA-1 of "<domain>-<relativePath>".
    static std::string fileID(const std::string& domain, const std::string& relativePath);
    // One keybag record: tag, 4-byte big-endian length, value.
    static void appendRecord(std::vector<std::uint8_t>& out, const char tag[4], const std::vector<std::uint8_t>& value);
    static std::vector<std::uint8_t> uint32Value(std::uint32_t value);
    // An MBFile keyed archive as the device writes it into Files.file.
    static std::vector<std::uint8_t> fileRecord(const std::string& relativePath, std::uint64_t size,
                                                std::int64_t protectionClass,
                                                const std::optional<std::vector<std::uint8_t>>& encryptionKey);
    // RFC 3394 wrap (AES, default IV) and AES-CBC with zero IV and PKCS#7, as a device does it.
    static std::vector<std::uint8_t> wrapKey(const std::vector<std::uint8_t>& key,
                                             const std::vector<std::uint8_t>& kek);
    static std::vector<std::uint8_t> encrypt(const std::vector<std::uint8_t>& plain,
                                             const std::vector<std::uint8_t>& key);
    static std::vector<std::uint8_t> randomBytes(std::size_t count);

private:
    std::vector<std::uint8_t> derivedKey() const;
    void writeStoredFile(const std::filesystem::path& file, const Entry& entry,
                         const std::vector<std::uint8_t>& fileKey) const;

    Options options_;
    std::vector<Entry> entries_;
    std::vector<std::uint8_t> keybag_;
    std::vector<std::uint8_t> salt_;
    std::vector<std::uint8_t> dpsl_;
};

// Every file below `folder` with its bytes and permission bits, to prove a folder was left unchanged.
std::vector<std::pair<std::string, std::string>> snapshotFolder(const std::filesystem::path& folder);

std::vector<std::uint8_t> bytesOf(const std::string& text);
std::string readWholeFile(const std::filesystem::path& file);

} // namespace qbtest
