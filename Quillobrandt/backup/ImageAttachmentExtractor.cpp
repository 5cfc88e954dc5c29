#include "Quillobrandt/backup/AttachmentPaths.h"
#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/backup/FileDecryptor.h"
#include "Quillobrandt/backup/JournalModeSwitch.h"
#include "Quillobrandt/store/AttachmentPathResolver.h"
#include "Quillobrandt/store/ForeignDatabase.h"
#include "Quillobrandt/store/FreeSpace.h"

#include <exception>
#include <system_error>
#include <vector>

#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"
#include "platform/core/Uuid.h"

namespace quillobrandt {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAttachmentQuery = "SELECT DISTINCT filename FROM attachment WHERE filename IS NOT NULL";

// Deletes the temporary database copy (and its companions) on every way out.
class TemporaryDatabaseCopy {
public:
    explicit TemporaryDatabaseCopy(fs::path path) : path_(std::move(path)) {}
    TemporaryDatabaseCopy(const TemporaryDatabaseCopy&) = delete;
    TemporaryDatabaseCopy& operator=(const TemporaryDatabaseCopy&) = delete;
    ~TemporaryDatabaseCopy() { removeDatabaseFiles(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const BackupError& backupError) {
        return backupError.description();
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "unknown error";
    }
}

// Opens the copy read-only and lock-free; falls back to a plain open as the reader always has. Either way as every
// database from outside is opened (a phone's, and whoever handed the backup over, may hold anything): schema
// distrusted, and every statement ended once `stop` is set.
platform::SqliteDatabase openCopy(const fs::path& copy, const std::atomic<bool>* stop) {
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    const std::string uri = platform::sqliteFileUri(copy, "mode=ro&nolock=1");
    platform::consoleLine("🔓 Attempting to open with URI: " + uri);
    std::string firstMessage;
    try {
        auto db = openForeignDatabase(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, stopped);
        platform::consoleLine("🔍 Open result: 0 (SQLITE_OK=0)");
        platform::consoleLine("✅ Opened successfully with URI");
        return db;
    } catch (const platform::SqliteError& error) {
        firstMessage = error.what();
        platform::consoleLine("🔍 Open result: " + std::to_string(error.code()) + " (SQLITE_OK=0)");
        platform::consoleLine("❌ Failed to open temporary sms.db with URI");
        platform::consoleLine("   Error code: " + std::to_string(error.code()));
        platform::consoleLine("   Error message: " + firstMessage);
        platform::consoleLine("🔄 Trying basic sqlite3_open...");
    }
    try {
        auto db = openForeignDatabase(copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, stopped);
        platform::consoleLine("🔍 Basic open result: 0");
        platform::consoleLine("✅ Opened with fallback basic method");
        return db;
    } catch (const platform::SqliteError& error) {
        platform::consoleLine("🔍 Basic open result: " + std::to_string(error.code()));
        platform::consoleLine(std::string("❌ Basic open also failed: ") + error.what());
        throw BackupError(BackupError::Code::queryFailed,
                          "Could not open sms.db: " + firstMessage + ", basic: " + error.what());
    }
}

} // namespace

void BackupExtractor::extractImageAttachments(const fs::path& smsDatabase, const fs::path& destination,
                                              const BackupProgress& progress, const std::atomic<bool>* stop) {
    platform::consoleLine("📎 Extracting image attachments from backup...");
    {
        std::error_code ignored;
        fs::remove(databaseCompanion(smsDatabase, "db-shm"), ignored);
        fs::remove(databaseCompanion(smsDatabase, "db-wal"), ignored);
    }
    platform::consoleLine("🧹 Cleaned up source WAL/SHM files");

    // A private copy: the journal switch writes to it, and the user's /tmp is shared.
    const fs::path privateFolder = platform::privateTempDir();
    if (privateFolder.empty()) { // no private folder could be made: never fall back to the current directory
        throw fs::filesystem_error("create private temporary folder", platform::tempDir(),
                                   std::make_error_code(std::errc::permission_denied));
    }
    const fs::path copyPath = privateFolder / ("sms_temp_" + platform::makeUuidString() + ".db");
    // Copied as the backup's files are (mode 0600), so that a full folder is told as such (std::filesystem's copy
    // reports an input/output error for it).
    streamFile(smsDatabase, copyPath, {});
    const TemporaryDatabaseCopy copy(copyPath);
    platform::consoleLine("📋 Created temporary database copy at: " + copyPath.string());
    {
        std::error_code ignored;
        fs::remove(databaseCompanion(copyPath, "db-shm"), ignored);
        fs::remove(databaseCompanion(copyPath, "db-wal"), ignored);
    }
    platform::consoleLine("🧹 Cleaned up any temp WAL/SHM files");

    platform::consoleLine("🔧 Converting database to DELETE journal mode...");
    const JournalSwitchOutcome switched = switchToDeleteJournalMode(copyPath);
    platform::consoleLine("   Result: " + switched.output);
    platform::consoleLine("   Exit code: " + std::to_string(switched.exitCode));

    platform::SqliteDatabase db = openCopy(copyPath, stop);
    if (!db.isOpen()) {
        platform::consoleLine("❌ Database handle is nil after open!");
        throw BackupError(BackupError::Code::queryFailed, "Database handle is nil");
    }

    platform::consoleLine(std::string("📊 Preparing query: ") + kAttachmentQuery);
    platform::SqliteStatement statement;
    try {
        statement = db.prepare(kAttachmentQuery);
        platform::consoleLine("🔍 Prepare result: 0");
    } catch (const platform::SqliteError& error) {
        platform::consoleLine("🔍 Prepare result: " + std::to_string(error.code()));
        platform::consoleLine(std::string("❌ Could not prepare attachment query: ") + error.what());
        throw BackupError(BackupError::Code::queryFailed,
                          std::string("Could not prepare attachment query: ") + error.what());
    }
    platform::consoleLine("✅ Query prepared successfully");

    std::size_t total = 0;
    std::vector<std::string> images;
    for (int rc = statement.step(); rc != SQLITE_DONE; rc = statement.step()) {
        if ((rc & 0xFF) == SQLITE_INTERRUPT) {
            platform::consoleLine("🛑 Reading the attachment list was stopped");
            throw BackupError(BackupError::Code::stopped);
        }
        if (rc != SQLITE_ROW) {
            // A damaged page is not the end of the list: stopping quietly would drop the rest of the pictures.
            platform::consoleLine("❌ Could not read the attachment list: " + db.errorMessage());
            throw BackupError(BackupError::Code::queryFailed,
                              "Could not read the attachment list: " + db.errorMessage());
        }
        ++total;
        const auto name = statement.columnText(0);
        if (name && isImageFileName(*name)) {
            images.push_back(*name);
        }
    }
    platform::consoleLine("📎 Found " + std::to_string(total) + " total attachments, " + std::to_string(images.size()) +
                          " are images to extract");

    const std::size_t count = images.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (stop != nullptr && stop->load()) {
            platform::consoleLine("🛑 Image extraction stopped after " + std::to_string(i) + " of " +
                                  std::to_string(count));
            return;
        }
        // Placed where the reader looks for it: an absolute name from its attachment folder on.
        const auto devicePath = attachmentDevicePath(images[i]);
        const std::string path = devicePath.value_or(images[i]);
        const auto reportFailure = [&](const std::string& error) {
            platform::consoleLine("⚠️ Could not extract attachment: " + path + " - " + error);
        };
        const auto target = devicePath ? attachmentDestination(destination, path) : std::nullopt;
        if (!target) {
            reportFailure("The attachment's path leads outside the extraction folder.");
            continue;
        }
        try {
            createFoldersBelow(destination, target->parent_path());
        } catch (...) {
            reportFailure(errorText(std::current_exception()));
            continue;
        }
        const std::string message =
            "Extracting image " + std::to_string(i + 1) + " of " + std::to_string(count) + "...";
        const auto inner = [&](const std::string&, double fraction, const std::string& relativePath) {
            if (progress) {
                progress(message, static_cast<double>(i) / count + fraction / count, relativePath);
            }
        };
        try {
            extractFile(path, *target, inner);
        } catch (const fs::filesystem_error& error) {
            if (isOutOfSpace(error.code().value())) {
                throw; // the next picture would find the disk as full: the caller says so
            }
            reportFailure(error.what());
            continue;
        } catch (...) {
            reportFailure(errorText(std::current_exception()));
            continue;
        }
        if ((i + 1) % 10 == 0) {
            platform::consoleLine("📎 Extracted " + std::to_string(i + 1) + "/" + std::to_string(count) + " images");
        }
    }
    platform::consoleLine("✅ Finished extracting attachments");
}

} // namespace quillobrandt
