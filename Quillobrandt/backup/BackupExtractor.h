#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/backup/BackupKeyDerivation.h"
#include "Quillobrandt/backup/BackupProgress.h"
#include "Quillobrandt/backup/ManifestIndex.h"

namespace quillobrandt {

// Reads one iPhone backup folder, plain or encrypted: opens its file index and copies files out by their path on
// the device, decrypting them as needed. The backup folder itself is only ever read.
//
// Calling order: construct, initialize() once, then any number of extractFile / extractImageAttachments calls.
// All calls block the calling thread (key derivation may take seconds); one thread at a time, no locks.
// Destruction closes the index and deletes the decrypted index copy.
class BackupExtractor {
public:
    // Touches nothing on disk.
    BackupExtractor(std::filesystem::path backupPath, std::string password);
    ~BackupExtractor();
    BackupExtractor(const BackupExtractor&) = delete;
    BackupExtractor& operator=(const BackupExtractor&) = delete;

    // Opens the file index; for an encrypted backup derives the class keys from the password and decrypts the
    // index into "DecryptedManifest-<UUID>.db" in the caches folder; a plain index with a write-ahead log beside it
    // is read from a copy of both, "ManifestSnapshot-<UUID>.db" there. Once `*stop` is set (from any thread) the key
    // derivation ends within a few tens of milliseconds with BackupError stopped, and so does any later lookup in the
    // index, however the index was made; `stop` must outlive the extractor. Throws BackupError, or
    // std::filesystem::filesystem_error for file-system failures.
    void initialize(const std::atomic<bool>* stop = nullptr);

    // Writes the file stored under `relativePath` in its domain (backupDomainOf) to `destination` (its folder must
    // exist; an existing file is replaced, mode 0600). Throws BackupError or std::filesystem::filesystem_error; a
    // failure leaves the destination untouched and the extractor usable.
    void extractFile(const std::string& relativePath, const std::filesystem::path& destination,
                     const BackupProgress& progress = {});

    // Extracts every image attachment named by the `attachment` table of the Messages database `smsDatabase`
    // (already extracted from this backup) to `destination` / the attachment's path without "~/".
    // Images that fail are reported on standard output and skipped, but for a full disk (the filesystem_error passes
    // through). The database is opened as every database from
    // outside is (see openForeignDatabase). Once `*stop` is true (set from any thread) it returns before the next
    // image, and a reading of the attachment list ends with BackupError stopped, however the database was made.
    // Throws BackupError queryFailed when the database cannot be read, std::filesystem::filesystem_error when it
    // cannot be copied.
    void extractImageAttachments(const std::filesystem::path& smsDatabase, const std::filesystem::path& destination,
                                 const BackupProgress& progress = {}, const std::atomic<bool>* stop = nullptr);

    // The bytes extracting the files at `relativePaths` would write at most, and with `withImageAttachments` every
    // picture the backup holds below "Library/SMS/Attachments/" too: the sizes of their stored files (never the sizes
    // their records state). Files the backup lacks count nothing. Needs initialize(). Throws BackupError.
    std::uint64_t extractionSize(const std::vector<std::string>& relativePaths, bool withImageAttachments) const;

    const std::filesystem::path& backupPath() const { return backupPath_; }
    const std::optional<std::filesystem::path>& tempDecryptedManifestPath() const { return tempDecryptedManifestPath_; }
    const ProtectionClassKeys& protectionClassKeys() const { return protectionClassKeys_; }
    bool isInitialized() const { return manifestDB_.has_value(); }

private:
    void reset();
    void openPlainIndex();
    void openEncryptedIndex(platform::PlistNode manifest);
    static std::filesystem::path privateCopyPath(const std::string& prefix);
    // The stop of initialize(), for the index's queries.
    std::function<bool()> indexStop() const;

    std::filesystem::path backupPath_;
    std::string password_;
    std::optional<ManifestIndex> manifestDB_;
    std::optional<std::filesystem::path> tempDecryptedManifestPath_;
    std::optional<std::filesystem::path> indexSnapshotPath_; // a plain index copied with its write-ahead log
    ProtectionClassKeys protectionClassKeys_;
    const std::atomic<bool>* stop_ = nullptr;
};

} // namespace quillobrandt
