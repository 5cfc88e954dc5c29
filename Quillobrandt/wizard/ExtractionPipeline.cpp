#include "Quillobrandt/wizard/ExtractionPipeline.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>

#include "Quillobrandt/app/LoadedHistory.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/FreeSpace.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"
#include "platform/qt/ContactStore.h"

namespace quillobrandt {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kMessagesDatabase = "Library/SMS/sms.db";
constexpr const char* kAddressBook = "Library/AddressBook/AddressBook.sqlitedb";
constexpr const char* kToExtract = "to extract the backup";

std::uintmax_t sizeOfFile(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : size;
}

// `bytes` and the margin kept free beyond them; a sum past the largest number stays there rather than wrap round to a
// small one (sparse files in a backup may claim any size).
std::uintmax_t withMargin(std::uintmax_t bytes) {
    return bytes > std::numeric_limits<std::uintmax_t>::max() - kSpaceMargin
               ? std::numeric_limits<std::uintmax_t>::max()
               : bytes + kSpaceMargin;
}

// The room a run needs in each folder it writes, and the refusal that names a folder without it.
class RoomNeeded {
public:
    // Until the file index is open, the caches folder must hold at least its decrypted copy.
    explicit RoomNeeded(const std::filesystem::path& backupFolder)
        : caches_(withMargin(sizeOfFile(backupFolder / "Manifest.db"))) {}

    void setCaches(std::uintmax_t bytes) { caches_ = withMargin(bytes); }
    // The pictures' pass copies the message database into the private temporary folder.
    void setTemporary(std::uintmax_t bytes) { temporary_ = withMargin(bytes); }
    std::uintmax_t caches() const { return caches_; }

    // The refusal for a write that found its file system full, naming the folder; nullopt for any other failure.
    std::optional<std::string> refusalFor(const std::exception& error) const {
        const auto* failed = dynamic_cast<const std::filesystem::filesystem_error*>(&error);
        if (failed == nullptr || !isOutOfSpace(failed->code().value())) {
            return std::nullopt;
        }
        const auto& file = failed->path2().empty() ? failed->path1() : failed->path2();
        if (platform::isInside(file, platform::cachesDir())) {
            return notEnoughSpaceText(platform::cachesDir(), caches_, kToExtract);
        }
        const auto folder = file.parent_path();
        return notEnoughSpaceText(folder, platform::isInside(folder, platform::tempDir()) ? temporary_ : kSpaceMargin,
                                  kToExtract);
    }

private:
    std::uintmax_t caches_ = 0;
    std::uintmax_t temporary_ = kSpaceMargin;
};

std::string secondsSince(Clock::time_point start) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", std::chrono::duration<double>(Clock::now() - start).count());
    return text;
}

std::string describe(const std::exception& error) {
    if (const auto* backup = dynamic_cast<const BackupError*>(&error)) {
        return backup->description();
    }
    if (const auto* database = dynamic_cast<const DatabaseError*>(&error)) {
        return database->description();
    }
    return error.what();
}

// A backup whose Messages database is not there: say so, rather than name a file ID nobody knows.
std::string describeMessagesDatabaseFailure(const std::exception& error) {
    if (const auto* backup = dynamic_cast<const BackupError*>(&error)) {
        if (backup->code() == BackupError::Code::fileNotFoundInBackup) {
            return "This backup holds no Messages database (Library/SMS/sms.db is not in it).";
        }
        if (backup->code() == BackupError::Code::backupFileNotFound) {
            return "This backup holds no Messages database: it lists Library/SMS/sms.db, but that file is missing "
                   "from the backup folder. The backup may be incomplete; make a new one.";
        }
    }
    return describe(error);
}

BackupProgress scaled(const ExtractionReport& report, double base, double span) {
    return [&report, base, span](const std::string& message, double fraction, const std::string&) {
        report.progress(message, base + span * fraction);
    };
}

struct LoadResult {
    std::optional<std::vector<Conversation>> conversations;
    std::string error; // when there are none
};

LoadResult loadExtractedDatabase(const std::filesystem::path& database, const ExtractionReport& report,
                                 const std::atomic<bool>* stop) {
    report.progress("Loading conversations...", 0.25);
    LoadResult result{std::nullopt, DatabaseError::stopped().description()};
    const auto load = [&](std::stop_token loader) {
        const auto start = Clock::now();
        // The wizard's stop is a flag; the reader looks at it with every report (each chat, every hundred messages
        // of a long one).
        std::stop_source closed;
        const auto progress = [&](const std::string& message, double fraction, const std::optional<std::string>& detail,
                                  std::optional<double>) {
            if (stop != nullptr && stop->load()) {
                closed.request_stop();
            }
            report.progress(detail ? message + "\n" + *detail : message, 0.25 + 0.7 * fraction);
        };
        try {
            platform::consoleLine("⏱️ Starting dbManager.loadDatabase...");
            auto conversations = loadHistory(database, std::nullopt, progress, closed.get_token(), loader);
            platform::consoleLine("⏱️ dbManager.loadDatabase returned after " + secondsSince(start) + " seconds");
            platform::consoleLine("✅ Database loading complete in " + secondsSince(start) + " seconds, updating UI...");
            if (!loader.stop_requested() &&
                PermissionManager::contactsAuthorizationStatus() == platform::ContactAuthorizationStatus::authorized &&
                !PermissionManager::isContactCacheBuilt()) {
                report.progress("Matching contacts...", 0.95);
                platform::consoleLine("🔨 Pre-building contact cache on background thread...");
                const auto cacheStart = Clock::now();
                PermissionManager::buildContactCache();
                platform::consoleLine("✅ Contact cache built in " + secondsSince(cacheStart) + " seconds");
            }
            result = {std::move(conversations), {}};
        } catch (const std::exception& error) {
            platform::consoleLine("❌ Error loading database: " + describe(error));
            result = {std::nullopt, describe(error)};
        }
    };
    if (report.runLoad) {
        report.runLoad(load);
    } else {
        load({});
    }
    return result;
}

} // namespace

std::filesystem::path newExtractionFolder() {
    return platform::cachesDir() / ("Quillobrandt_" + platform::makeUuidString());
}

void removeExtractionFolder(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void performExtraction(const std::filesystem::path& backupFolder, const std::string& password,
                       const ExtractionReport& report, const std::atomic<bool>* stop) {
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    if (stopped()) {
        return;
    }
    const std::filesystem::path folder = newExtractionFolder();
    platform::consoleLine("📁 Creating extraction directory at: " + folder.string());
    if (!platform::createPrivateDirectory(folder)) {
        report.extractionFailed("Could not create the extraction folder " + folder.string() + ".");
        return;
    }
    platform::consoleLine("✅ Extraction directory created");
    // Until the user saves it, the folder says so itself: a start after a crash then knows to remove it.
    std::ofstream(folder / WorkingFilesLock::unsavedExtractionMarker).put('\n');
    report.progress("Deriving encryption keys...", 0.05);
    report.setIsIPhoneBackup(true);

    const std::filesystem::path database = folder / "sms.db";
    RoomNeeded room(backupFolder);
    // Released before the load's outcome matters, as soon as the files are out: its destructor deletes the
    // decrypted index copy.
    std::optional<BackupExtractor> extractor;
    // Nothing of a run that did not finish is of use to anyone; the pictures in it are private.
    const auto discard = [&extractor, &folder] {
        extractor.reset();
        removeExtractionFolder(folder);
    };
    const auto abandonIfStopped = [&] {
        if (!stopped()) {
            return false;
        }
        discard();
        platform::consoleLine("🛑 Extraction stopped; its folder was removed");
        return true;
    };

    try {
        extractor.emplace(backupFolder, password);
        report.delayedProgress("Deriving encryption keys (this may take a minute)...", 0.1, 500);
        extractor->initialize(stop); // a stop ends the key derivation within a few tens of milliseconds
        if (abandonIfStopped()) {
            return;
        }
        report.progress("Decrypting manifest database...", 0.2);
        // Every file the run writes into the caches folder, from the sizes the file index gives: a folder without
        // room for them is named before anything is written into it.
        room.setCaches(extractor->extractionSize({kMessagesDatabase, kAddressBook}, true));
        room.setTemporary(extractor->extractionSize({kMessagesDatabase}, false));
        if (freeSpace(folder) < room.caches()) {
            const std::string refusal = notEnoughSpaceText(platform::cachesDir(), room.caches(), kToExtract);
            discard();
            platform::consoleLine("❌ " + refusal);
            report.extractionFailed(refusal);
            return;
        }
        report.progress("Extracting messages database...", 0.1);
        extractor->extractFile(kMessagesDatabase, database, scaled(report, 0.1, 0.1));
        platform::consoleLine("✅ Extracted sms.db to: " + database.string());
    } catch (const std::exception& error) {
        const std::string description = room.refusalFor(error).value_or(describeMessagesDatabaseFailure(error));
        discard();
        if (!stopped()) {
            report.extractionFailed(description);
        }
        return;
    }
    if (abandonIfStopped()) {
        return;
    }

    // A write that still finds the disk full (something else filled it meanwhile) fails the run with the same
    // refusal: nothing half extracted is of use.
    const auto failForRoom = [&](const std::exception& error) {
        const auto refusal = room.refusalFor(error);
        if (!refusal || stopped()) {
            return false;
        }
        discard();
        platform::consoleLine("❌ " + *refusal);
        report.extractionFailed(*refusal);
        return true;
    };

    report.progress("Extracting contacts...", 0.2);
    try {
        extractor->extractFile(kAddressBook, folder / "AddressBook.sqlitedb", scaled(report, 0.2, 0.02));
    } catch (const std::exception& error) {
        // A backup without an address book still has its messages.
        if (failForRoom(error)) {
            return;
        }
    }
    if (abandonIfStopped()) {
        return;
    }

    report.progress("Extracting images...", 0.22);
    try {
        extractor->extractImageAttachments(database, folder, scaled(report, 0.22, 0.03), stop);
        if (abandonIfStopped()) {
            return;
        }
        platform::consoleLine("✅ ATTACHMENT EXTRACTION SUCCEEDED");
        report.setIsIPhoneBackup(false);
    } catch (const std::exception& error) {
        if (failForRoom(error)) {
            return;
        }
        if (!stopped()) { // a stop ends the list of pictures too: that is no failure of theirs
            platform::consoleLine(std::string("⚠️ Attachment extraction failed: ") + describe(error));
            platform::consoleLine("⚠️ Continuing without attachments - they won't be displayed");
        }
    }
    if (abandonIfStopped()) {
        return;
    }

    LoadResult result = loadExtractedDatabase(database, report, stop);
    if (abandonIfStopped()) {
        return;
    }
    if (result.conversations) {
        platform::consoleLine("⏱️ About to set appState.conversations on main thread...");
        report.loaded(std::move(*result.conversations), database);
    } else {
        discard();
        report.loadFailed(result.error);
    }
    report.loadFinished();
}

} // namespace quillobrandt
