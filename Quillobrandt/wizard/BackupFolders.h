#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillobrandt {

// Where idevicebackup2 backups live on this system: $XDG_DATA_HOME/MobileSync/Backup.
std::filesystem::path backupRootFolder();
// A Mac's backup folder copied into the home folder, offered by the folder panel when it exists.
std::filesystem::path macBackupRootFolder();
// One device's backup: backupRootFolder() / udid.
std::filesystem::path deviceBackupFolder(const std::string& udid);

// What one look at a device's backup folder found.
struct BackupStatus {
    enum class State { absent, finished, inProgress };
    State state = State::absent;
    bool isFullBackup = false;                                       // when finished
    std::optional<std::filesystem::file_time_type> manifestModified; // when in progress
    std::string error;                                               // attribute read failure, else empty
};

// Absent while the folder or its "Manifest.plist" is missing; finished when "Status.plist" says
// "SnapshotState" = "finished"; otherwise in progress with the manifest's modification time.
BackupStatus readBackupStatus(const std::filesystem::path& folder);

// A folder the user picked as a backup.
struct ChosenBackup {
    enum class Problem { none, noManifest, unreadableManifest };
    Problem problem = Problem::none;
    std::string deviceName = "iPhone";
    bool isEncrypted = false;
};
ChosenBackup inspectChosenBackup(const std::filesystem::path& folder);

} // namespace quillobrandt
