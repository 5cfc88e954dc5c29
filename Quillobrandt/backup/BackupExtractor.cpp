#include "Quillobrandt/backup/BackupExtractor.h"

#include <limits>
#include <system_error>
#include <utility>

#include <openssl/crypto.h>
#include <sys/stat.h>

#include "Quillobrandt/backup/AesKeyWrap.h"
#include "Quillobrandt/backup/AttachmentPaths.h"
#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/FileDecryptor.h"
#include "Quillobrandt/backup/FileRecord.h"
#include "Quillobrandt/backup/StoredFile.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"

namespace quillobrandt {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxManifestPlistBytes = 64u * 1024 * 1024;
constexpr std::size_t kManifestKeyClassLength = 4;

void report(const BackupProgress& progress, const char* message, double fraction, const std::string& path) {
    if (progress) {
        progress(message, fraction, path);
    }
}

// The decrypted index and whatever SQLite left beside it.
void removeIndexCopy(const fs::path& copy) {
    std::error_code ignored;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        fs::remove(copy.string() + suffix, ignored);
    }
}

// Size and modification time of an open stored file, to see whether it changed while it was copied.
std::pair<std::uint64_t, std::int64_t> fileState(const StoredFile& file) {
    struct stat info {};
    if (::stat(file.openedPath().c_str(), &info) != 0) {
        return {0, -1};
    }
    return {static_cast<std::uint64_t>(info.st_size),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

std::string asciiText(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const auto byte : bytes) {
        if (byte >= 0x80) {
            return {};
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

} // namespace

BackupExtractor::BackupExtractor(fs::path backupPath, std::string password)
    : backupPath_(std::move(backupPath)), password_(std::move(password)) {}

BackupExtractor::~BackupExtractor() {
    reset();
    if (!password_.empty()) {
        OPENSSL_cleanse(password_.data(), password_.size());
    }
}

void BackupExtractor::reset() {
    manifestDB_.reset();
    for (auto* copy : {&tempDecryptedManifestPath_, &indexSnapshotPath_}) {
        if (*copy) {
            removeIndexCopy(**copy);
            copy->reset();
        }
    }
    protectionClassKeys_.clear();
}

std::function<bool()> BackupExtractor::indexStop() const {
    return [stop = stop_] { return stop != nullptr && stop->load(); };
}

void BackupExtractor::initialize(const std::atomic<bool>* stop) {
    reset(); // a second call starts over rather than leaking the first index and its copy
    stop_ = stop;
    platform::consoleLine("🔓 Initializing backup at: " + backupPath_.string());
    const auto manifestPlist = StoredFile::open(backupPath_ / "Manifest.plist");
    if (!manifestPlist) {
        throw BackupError(BackupError::Code::manifestNotFound);
    }
    const auto manifestBytes = platform::readFile(manifestPlist->openedPath(), kMaxManifestPlistBytes);
    const auto manifest = manifestBytes ? platform::Plist::parse(*manifestBytes) : std::nullopt;
    if (!manifest || !manifest->root().isDict()) {
        throw BackupError(BackupError::Code::invalidManifest);
    }
    const bool encrypted = manifest->root().get("IsEncrypted").boolean().value_or(false);
    platform::consoleLine(std::string("🔐 Backup is ") + (encrypted ? "encrypted" : "not encrypted"));

    if (!encrypted) {
        openPlainIndex();
    } else {
        if (password_.empty()) {
            throw BackupError(BackupError::Code::passwordRequired);
        }
        deriveEncryptionKeys(manifest->root(), password_, protectionClassKeys_, stop);
        openEncryptedIndex(manifest->root());
    }
    platform::consoleLine("✅ Backup initialized successfully");
}

void BackupExtractor::openPlainIndex() {
    const fs::path manifestDb = backupPath_ / "Manifest.db";
    const auto index = StoredFile::open(manifestDb);
    if (!index) {
        throw BackupError(BackupError::Code::manifestDBNotFound);
    }
    const auto wal = StoredFile::open(backupPath_ / "Manifest.db-wal");
    if (!wal || wal->size() == 0) {
        manifestDB_ = ManifestIndex::openBackupOwned(manifestDb, indexStop());
        return;
    }
    // Rows the backup service has not checkpointed yet live only in the write-ahead log, which SQLite reads only
    // beside a shared-memory file it may write. The backup folder is never written: copy both into the caches
    // folder and read the copy, taken again if either file changed meanwhile.
    const fs::path copy = privateCopyPath("ManifestSnapshot-");
    indexSnapshotPath_ = copy;
    for (int attempt = 0;; ++attempt) {
        const auto before = std::make_pair(fileState(*index), fileState(*wal));
        streamFile(index->openedPath(), copy, {});
        streamFile(wal->openedPath(), copy.string() + "-wal", {});
        if (std::make_pair(fileState(*index), fileState(*wal)) == before) {
            break;
        }
        if (attempt == 2) {
            throw BackupError(BackupError::Code::failedToOpenManifestDB,
                              "it changed while it was read; try again once the backup has finished");
        }
    }
    platform::consoleLine("✅ Manifest.db and its write-ahead log copied to a temporary file");
    manifestDB_ = ManifestIndex::openPrivateCopy(copy, indexStop());
}

fs::path BackupExtractor::privateCopyPath(const std::string& prefix) {
    const fs::path caches = platform::cachesDir();
    if (!fs::exists(caches) && !platform::createPrivateDirectory(caches)) {
        throw fs::filesystem_error("create", caches, std::make_error_code(std::errc::permission_denied));
    }
    return caches / (prefix + platform::makeUuidString() + ".db");
}

void BackupExtractor::openEncryptedIndex(platform::PlistNode manifest) {
    platform::consoleLine("🔓 Decrypting Manifest.db...");
    const auto manifestKey = manifest.get("ManifestKey").data();
    if (!manifestKey || manifestKey->size() <= kManifestKeyClassLength) {
        throw BackupError(BackupError::Code::missingManifestKey);
    }
    const auto& key = *manifestKey;
    const auto protectionClass = static_cast<std::int64_t>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(key[0]) | static_cast<std::uint32_t>(key[1]) << 8 |
                                  static_cast<std::uint32_t>(key[2]) << 16 | static_cast<std::uint32_t>(key[3]) << 24));
    platform::consoleLine("   📦 Manifest uses protection class " + std::to_string(protectionClass));
    const auto classKey = protectionClassKeys_.find(protectionClass);
    if (classKey == protectionClassKeys_.end()) {
        throw BackupError::protectionClassNotFound(protectionClass);
    }
    const SecureBytes indexKey = unwrapKey(std::span(key).subspan(kManifestKeyClassLength), classKey->second.span());

    const auto manifestDb = StoredFile::open(backupPath_ / "Manifest.db");
    if (!manifestDb) {
        throw BackupError(BackupError::Code::manifestDBNotFound);
    }
    const fs::path copy = privateCopyPath("DecryptedManifest-");
    streamFile(manifestDb->openedPath(), copy, indexKey.span());
    tempDecryptedManifestPath_ = copy;
    platform::consoleLine("✅ Manifest.db decrypted to temporary file");
    manifestDB_ = ManifestIndex::openPrivateCopy(copy, indexStop());
}

std::uint64_t BackupExtractor::extractionSize(const std::vector<std::string>& relativePaths,
                                              bool withImageAttachments) const {
    if (!manifestDB_) {
        throw BackupError(BackupError::Code::notInitialized);
    }
    // What the backup stores: a plain file is copied as it is, and decryption never writes more than it reads. The
    // size a record states is the device's word, which a damaged or crafted index may give as anything.
    const auto sizeOf = [this](const ManifestRow& row) -> std::uint64_t {
        struct stat st {};
        if (row.fileID && isValidFileID(*row.fileID) &&
            ::stat((backupPath_ / row.fileID->substr(0, 2) / *row.fileID).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return static_cast<std::uint64_t>(st.st_size);
        }
        return 0;
    };
    std::uint64_t total = 0;
    // Sparse files may claim any size: the sum stops at the largest number rather than wrap round to a small one.
    const auto add = [&total](std::uint64_t bytes) {
        total = bytes > std::numeric_limits<std::uint64_t>::max() - total ? std::numeric_limits<std::uint64_t>::max()
                                                                          : total + bytes;
    };
    for (const auto& relativePath : relativePaths) {
        if (const auto row = manifestDB_->find(backupDomainOf(relativePath), relativePath)) {
            add(sizeOf(*row));
        }
    }
    if (withImageAttachments) {
        const std::string attachments = "Library/SMS/Attachments/";
        manifestDB_->forEachBelow(backupDomainOf(attachments), attachments, [&](const ManifestRow& row) {
            if (isImageFileName(row.relativePath)) {
                add(sizeOf(row));
            }
        });
    }
    return total;
}

void BackupExtractor::extractFile(const std::string& relativePath, const fs::path& destination,
                                  const BackupProgress& progress) {
    if (!manifestDB_) {
        throw BackupError(BackupError::Code::notInitialized);
    }
    platform::consoleLine("📤 Extracting: " + relativePath);
    report(progress, "Finding file in backup...", 0.1, relativePath);
    const auto row = manifestDB_->find(backupDomainOf(relativePath), relativePath);
    if (!row) {
        throw BackupError(BackupError::Code::fileNotFoundInBackup, relativePath);
    }
    // The name becomes a path below the backup folder: only a real SHA-1 name may.
    if (!row->fileID || !isValidFileID(*row->fileID)) {
        throw BackupError(BackupError::Code::invalidFileID);
    }
    const std::string& fileID = *row->fileID;

    report(progress, "Located file in backup", 0.3, relativePath);
    const FileRecord record = parseFileMetadata(row->file.value_or(std::vector<std::uint8_t>{}));
    platform::consoleLine("   📦 File uses protection class " + std::to_string(record.protectionClass));
    if (record.wrappedKey) {
        platform::consoleLine("   🔑 File has wrapped key (" + std::to_string(record.wrappedKey->size()) + " bytes)");
    } else {
        platform::consoleLine("   ⚠️ File has no encryption key (unencrypted)");
    }

    const auto stored = StoredFile::open(backupPath_ / fileID.substr(0, 2) / fileID);
    if (!stored) {
        throw BackupError(BackupError::Code::backupFileNotFound, fileID);
    }
    const fs::path source = stored->openedPath();
    report(progress, "Reading file...", 0.5, relativePath);
    const auto beforeWrite = [&](const StreamedFile&) { report(progress, "Writing file...", 0.9, relativePath); };

    if (record.wrappedKey && !protectionClassKeys_.empty()) {
        report(progress, "Decrypting file...", 0.7, relativePath);
        const auto classKey = protectionClassKeys_.find(record.protectionClass);
        if (classKey == protectionClassKeys_.end()) {
            throw BackupError::protectionClassNotFound(record.protectionClass);
        }
        platform::consoleLine("   🔓 Unwrapping file key...");
        const SecureBytes fileKey = unwrapKey(*record.wrappedKey, classKey->second.span());
        platform::consoleLine("   🔓 Decrypting file data (" + std::to_string(stored->size()) + " bytes)...");
        streamFile(source, destination, fileKey.span(), record.size, [&](const StreamedFile& streamed) {
            // Padding and length checked; the file takes its place right after these reports.
            platform::consoleLine("   ✅ Decrypted to " + std::to_string(streamed.writtenBytes) + " bytes");
            if (streamed.writtenBytes > 15) {
                platform::consoleLine("   📄 File header: " + asciiText(streamed.head));
            }
            beforeWrite(streamed);
        });
    } else {
        platform::consoleLine("   ⚠️ No decryption (treating as unencrypted)");
        streamFile(source, destination, {}, std::nullopt, beforeWrite);
    }
    report(progress, "Extraction complete", 1.0, relativePath);
    platform::consoleLine("✅ Extracted to: " + destination.string());
}

} // namespace quillobrandt
