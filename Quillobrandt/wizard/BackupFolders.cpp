#include "Quillobrandt/wizard/BackupFolders.h"

#include "platform/core/AtomicFile.h"
#include "platform/core/Paths.h"
#include "platform/core/Plist.h"

namespace quillobrandt {
namespace {

std::optional<platform::Plist> readDictionary(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        return std::nullopt;
    }
    const auto bytes = platform::readFile(file);
    if (!bytes) {
        return std::nullopt;
    }
    auto plist = platform::Plist::parse(*bytes);
    if (!plist || !plist->root().isDict()) {
        return std::nullopt;
    }
    return plist;
}

} // namespace

std::filesystem::path backupRootFolder() {
    return platform::appSupportDir() / "MobileSync" / "Backup";
}

std::filesystem::path macBackupRootFolder() {
    return platform::homeDir() / "Library" / "Application Support" / "MobileSync" / "Backup";
}

std::filesystem::path deviceBackupFolder(const std::string& udid) {
    return backupRootFolder() / udid;
}

BackupStatus readBackupStatus(const std::filesystem::path& folder) {
    BackupStatus status;
    std::error_code ec;
    const auto manifest = folder / "Manifest.plist";
    if (!std::filesystem::is_directory(folder, ec) || !std::filesystem::exists(manifest, ec)) {
        return status;
    }
    if (const auto statusPlist = readDictionary(folder / "Status.plist")) {
        if (statusPlist->root().get("SnapshotState").string() == std::optional<std::string>("finished")) {
            status.state = BackupStatus::State::finished;
            status.isFullBackup = statusPlist->root().get("IsFullBackup").boolean().value_or(false);
            return status;
        }
    }
    status.state = BackupStatus::State::inProgress;
    const auto modified = std::filesystem::last_write_time(manifest, ec);
    if (ec) {
        status.error = ec.message();
    } else {
        status.manifestModified = modified;
    }
    return status;
}

ChosenBackup inspectChosenBackup(const std::filesystem::path& folder) {
    ChosenBackup chosen;
    std::error_code ec;
    const auto manifest = folder / "Manifest.plist";
    if (!std::filesystem::exists(manifest, ec)) {
        chosen.problem = ChosenBackup::Problem::noManifest;
        return chosen;
    }
    const auto plist = readDictionary(manifest);
    if (!plist) {
        chosen.problem = ChosenBackup::Problem::unreadableManifest;
        return chosen;
    }
    chosen.deviceName = plist->root().get("Device Name").string().value_or("iPhone");
    chosen.isEncrypted = plist->root().get("IsEncrypted").boolean().value_or(false);
    return chosen;
}

} // namespace quillobrandt
