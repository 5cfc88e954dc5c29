#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quillobrandt {

// The error of the whole backup reader. description() is the text shown to the user
// (the wizard puts it after "Extraction failed: ").
class BackupError : public std::exception {
public:
    enum class Code {
        protectionClassNotFound,
        failedToOpenManifestDB,
        queryFailed,
        fileNotFoundInBackup,
        backupFileNotFound,
        manifestNotFound,
        manifestDBNotFound,
        invalidManifest,
        passwordRequired,
        missingBackupKeyBag,
        invalidKeybag,
        missingWrappedKey,
        missingManifestKey,
        invalidFileMetadata,
        keyDerivationFailed,
        keyUnwrapFailed,
        invalidEncryptedFile,
        decryptionFailed,
        notInitialized,
        invalidFileID,
        // Beyond the designed cases: a backup whose settings no real device writes, and a run the user stopped.
        unsupportedBackup,
        stopped,
    };

    explicit BackupError(Code code);
    BackupError(Code code, std::string text);
    BackupError(Code code, std::int64_t protectionClass);

    static BackupError protectionClassNotFound(std::int64_t protectionClass) {
        return BackupError(Code::protectionClassNotFound, protectionClass);
    }

    Code code() const { return code_; }
    // The text payload (paths, SQLite messages, file IDs); empty for cases without one.
    const std::string& text() const { return text_; }
    std::int64_t protectionClass() const { return protectionClass_; }

    // The user-facing message.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    // The case's name as written in diagnostics ("keyUnwrapFailed").
    std::string caseName() const;

private:
    Code code_;
    std::string text_;
    std::int64_t protectionClass_ = 0;
    std::string description_;
};

} // namespace quillobrandt
