#include "Quillobrandt/wizard/ExtractionPipeline.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"
#include "platform/qt/ContactStore.h"

namespace quillobrandt {
namespace {

using Clock = std::chrono::steady_clock;

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

BackupProgress scaled(const ExtractionReport& report, double base, double span) {
    return [&report, base, span](const std::string& message, double fraction, const std::string&) {
        report.progress(message, base + span * fraction);
    };
}

void loadExtractedDatabase(const std::filesystem::path& database, const ExtractionReport& report) {
    report.setDatabaseURL(database);
    report.progress("Loading conversations...", 0.25);
    const auto start = Clock::now();
    try {
        platform::consoleLine("⏱️ Starting dbManager.loadDatabase...");
        DatabaseManager manager;
        auto conversations = manager.openDatabase(
            database, std::nullopt,
            [&report](const std::string& message, double fraction, const std::optional<std::string>& detail,
                      std::optional<double>) {
                report.progress(detail ? message + "\n" + *detail : message, 0.25 + 0.7 * fraction);
            });
        platform::consoleLine("⏱️ dbManager.loadDatabase returned after " + secondsSince(start) + " seconds");
        platform::consoleLine("✅ Database loading complete in " + secondsSince(start) + " seconds, updating UI...");
        if (PermissionManager::contactsAuthorizationStatus() == platform::ContactAuthorizationStatus::authorized &&
            !PermissionManager::isContactCacheBuilt()) {
            report.progress("Matching contacts...", 0.95);
            platform::consoleLine("🔨 Pre-building contact cache on background thread...");
            const auto cacheStart = Clock::now();
            PermissionManager::buildContactCache();
            platform::consoleLine("✅ Contact cache built in " + secondsSince(cacheStart) + " seconds");
        }
        platform::consoleLine("⏱️ About to set appState.conversations on main thread...");
        report.loaded(std::move(conversations), database);
    } catch (const std::exception& error) {
        platform::consoleLine("❌ Error loading database: " + describe(error));
        report.loadFailed(describe(error));
    }
}

} // namespace

std::filesystem::path newExtractionFolder() {
    return platform::cachesDir() / ("Quillobrandt_" + platform::makeUuidString());
}

void performExtraction(const std::filesystem::path& backupFolder, const std::string& password,
                       const ExtractionReport& report) {
    const std::filesystem::path folder = newExtractionFolder();
    platform::consoleLine("📁 Creating extraction directory at: " + folder.string());
    if (!platform::createPrivateDirectory(folder)) {
        report.extractionFailed("Could not create the extraction folder " + folder.string() + ".");
        return;
    }
    platform::consoleLine("✅ Extraction directory created");
    report.progress("Deriving encryption keys...", 0.05);
    report.setIsIPhoneBackup(true);

    const std::filesystem::path database = folder / "sms.db";
    {
        // Released before the load's outcome matters, as soon as the files are out: its destructor deletes the
        // decrypted index copy.
        std::optional<BackupExtractor> extractor;
        try {
            extractor.emplace(backupFolder, password);
            report.delayedProgress("Deriving encryption keys (this may take a minute)...", 0.1, 500);
            extractor->initialize();
            report.progress("Decrypting manifest database...", 0.2);
            report.progress("Extracting messages database...", 0.1);
            extractor->extractFile("Library/SMS/sms.db", database, scaled(report, 0.1, 0.1));
            platform::consoleLine("✅ Extracted sms.db to: " + database.string());
        } catch (const std::exception& error) {
            report.extractionFailed(describe(error));
            return;
        }

        report.progress("Extracting contacts...", 0.2);
        try {
            extractor->extractFile("Library/AddressBook/AddressBook.sqlitedb", folder / "AddressBook.sqlitedb",
                                   scaled(report, 0.2, 0.02));
        } catch (const std::exception&) {
            // A backup without an address book still has its messages.
        }

        report.progress("Extracting images...", 0.22);
        try {
            extractor->extractImageAttachments(database, folder, scaled(report, 0.22, 0.03));
            platform::consoleLine("✅ ATTACHMENT EXTRACTION SUCCEEDED");
            report.setIsIPhoneBackup(false);
        } catch (const std::exception& error) {
            platform::consoleLine(std::string("⚠️ Attachment extraction failed: ") + describe(error));
            platform::consoleLine("⚠️ Continuing without attachments - they won't be displayed");
        }

        loadExtractedDatabase(database, report);
    }
    report.loadFinished();
}

} // namespace quillobrandt
