#include "Quillobrandt/app/PermissionManager.h"

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"
#include "platform/qt/DesktopServices.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/PrivacyGate.h"

namespace quillobrandt {
namespace {

const char* const kRuler = "🔍 ========================================";

void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

} // namespace

std::filesystem::path PermissionManager::messagesDatabasePath() {
    return platform::homeDir() / "Library/Messages/chat.db";
}

std::string PermissionManager::messagesFolderCopyHint() {
    return "To read a Mac's messages, copy its Messages folder (~/Library/Messages) to " +
           messagesDatabasePath().parent_path().parent_path().string() + ".";
}

bool PermissionManager::hasFullDiskAccess() {
    return platform::hasFullDiskAccessGate() ? probeFullDiskAccess() : true;
}

bool PermissionManager::probeFullDiskAccess() {
    const std::filesystem::path path = messagesDatabasePath();
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);

    platform::consoleLine(kRuler);
    platform::consoleLine("🔍 FDA CHECK DETAILED DIAGNOSTICS");
    platform::consoleLine("🔍 NSHomeDirectory(): " + platform::homeDir().string());
    platform::consoleLine("🔍 Messages DB path: " + path.string());
    platform::consoleLine(std::string("🔍 File exists: ") + (exists ? "true" : "false"));
    logInfo("🔍 Checking FDA by testing access to: " + path.string());

    if (!exists) {
        platform::consoleLine("⚠️ Messages database doesn't exist at path: " + path.string());
        logInfo("⚠️ Messages database doesn't exist at path");
        return false;
    }

    platform::SqliteDatabase db;
    try {
        db = platform::SqliteDatabase::open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
    } catch (const platform::SqliteError& error) {
        const std::string line = "❌ FDA check: Cannot open database (code: " + std::to_string(error.code()) + ")";
        platform::consoleLine(line);
        logInfo(line);
        return false;
    }
    try {
        // Preparing reads the schema, which is all the proof needed; no row is read.
        auto statement = db.prepare("SELECT COUNT(*) FROM chat");
    } catch (const platform::SqliteError& error) {
        const std::string line = std::string("❌ FDA check: Query failed - ") + error.what() +
                                 " (code: " + std::to_string(error.code()) + ")";
        platform::consoleLine(line);
        logInfo(line);
        return false;
    }
    db.close();
    platform::consoleLine("✅ FDA check: Messages database is fully accessible (SQLite queries work)");
    platform::consoleLine(kRuler);
    logInfo("✅ FDA check: Messages database is fully accessible");
    return true;
}

void PermissionManager::openFullDiskAccessSettings() {
    logInfo("⚙️ Opening System Settings to Full Disk Access");
    platform::desktopServices()->openUrl(QUrl(QString::fromUtf8(fullDiskAccessSettingsUrl)));
    logInfo("✅ System Settings opened");
}

void PermissionManager::requestContactsAccess(std::function<void(bool)> completion, QObject* context) {
    platform::consoleLine("📱 Requesting Contacts access...");
    const bool guarded = context != nullptr;
    QPointer<QObject> guard(context);
    auto store = platform::contactStore();
    store->requestAccess(
        [completion = std::move(completion), guarded, guard](bool granted, const std::optional<std::string>& error) {
            if (error) {
                platform::consoleLine("❌ Contacts access error: " + *error);
            }
            platform::consoleLine(granted ? "✅ Contacts access GRANTED" : "❌ Contacts access DENIED");
            QObject* target = guarded ? guard.data() : QCoreApplication::instance();
            if (target == nullptr) {
                return;
            }
            platform::runOnMainQueue(target, [completion, granted] {
                if (completion) {
                    completion(granted);
                }
            });
        });
}

platform::ContactAuthorizationStatus PermissionManager::contactsAuthorizationStatus() {
    return platform::contactStore()->authorizationStatus();
}

} // namespace quillobrandt
