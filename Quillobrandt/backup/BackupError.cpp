#include "Quillobrandt/backup/BackupError.h"

#include <utility>

namespace quillobrandt {

namespace {

std::string messageFor(BackupError::Code code, const std::string& text, std::int64_t protectionClass) {
    using Code = BackupError::Code;
    switch (code) {
    case Code::protectionClassNotFound:
        return "Protection class " + std::to_string(protectionClass) + " not found or not unwrapped.";
    case Code::failedToOpenManifestDB:
        return "Failed to open Manifest.db: " + text;
    case Code::queryFailed:
        return "Database query failed: " + text;
    case Code::fileNotFoundInBackup:
        return "File not found in backup: " + text;
    case Code::backupFileNotFound:
        return "Backup file not found: " + text;
    case Code::manifestNotFound:
        return "Manifest.plist not found. This may not be a valid iPhone backup.";
    case Code::manifestDBNotFound:
        return "Manifest.db not found in backup.";
    case Code::invalidManifest:
        return "Could not read Manifest.plist.";
    case Code::passwordRequired:
        return "This backup is encrypted. Please provide the backup password.";
    case Code::missingBackupKeyBag:
        return "Encryption information missing from backup.";
    case Code::invalidKeybag:
        return "Could not parse backup encryption keybag.";
    case Code::missingWrappedKey:
        return "Missing wrapped protection key in keybag.";
    case Code::missingManifestKey:
        return "Missing ManifestKey in Manifest.plist.";
    case Code::invalidFileMetadata:
        return "Could not parse file metadata from backup.";
    case Code::keyDerivationFailed:
        return "Failed to derive encryption key from password. The password may be incorrect.";
    case Code::keyUnwrapFailed:
        return "Failed to unwrap encryption key. The password may be incorrect.";
    case Code::invalidEncryptedFile:
        return "Encrypted file format is invalid.";
    case Code::decryptionFailed:
        return "Failed to decrypt file.";
    case Code::notInitialized:
        return "Backup extractor not initialized. Call initialize() first.";
    case Code::invalidFileID:
        return "Invalid file ID in backup database.";
    case Code::unsupportedBackup:
        return "This backup uses encryption settings that are not supported.";
    case Code::stopped:
        return "The extraction was stopped.";
    }
    return "Unknown backup error.";
}

} // namespace

BackupError::BackupError(Code code) : BackupError(code, std::string()) {}

BackupError::BackupError(Code code, std::string text)
    : code_(code), text_(std::move(text)), description_(messageFor(code_, text_, 0)) {}

BackupError::BackupError(Code code, std::int64_t protectionClass)
    : code_(code), protectionClass_(protectionClass), description_(messageFor(code_, text_, protectionClass_)) {}

std::string BackupError::caseName() const {
    switch (code_) {
    case Code::protectionClassNotFound:
        return "protectionClassNotFound";
    case Code::failedToOpenManifestDB:
        return "failedToOpenManifestDB";
    case Code::queryFailed:
        return "queryFailed";
    case Code::fileNotFoundInBackup:
        return "fileNotFoundInBackup";
    case Code::backupFileNotFound:
        return "backupFileNotFound";
    case Code::manifestNotFound:
        return "manifestNotFound";
    case Code::manifestDBNotFound:
        return "manifestDBNotFound";
    case Code::invalidManifest:
        return "invalidManifest";
    case Code::passwordRequired:
        return "passwordRequired";
    case Code::missingBackupKeyBag:
        return "missingBackupKeyBag";
    case Code::invalidKeybag:
        return "invalidKeybag";
    case Code::missingWrappedKey:
        return "missingWrappedKey";
    case Code::missingManifestKey:
        return "missingManifestKey";
    case Code::invalidFileMetadata:
        return "invalidFileMetadata";
    case Code::keyDerivationFailed:
        return "keyDerivationFailed";
    case Code::keyUnwrapFailed:
        return "keyUnwrapFailed";
    case Code::invalidEncryptedFile:
        return "invalidEncryptedFile";
    case Code::decryptionFailed:
        return "decryptionFailed";
    case Code::notInitialized:
        return "notInitialized";
    case Code::invalidFileID:
        return "invalidFileID";
    case Code::unsupportedBackup:
        return "unsupportedBackup";
    case Code::stopped:
        return "stopped";
    }
    return "unknown";
}

} // namespace quillobrandt
