// What the wizard's screens do: find the device, guide the backup, watch it finish (the extraction is
// WizardExtraction.cpp).

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "Quillobrandt/wizard/BackupFolders.h"
#include "Quillobrandt/wizard/WizardLog.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/qt/DesktopServices.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/SecurityScope.h"

namespace quillobrandt {

using wizard::logError;
using wizard::logInfo;
namespace {

std::string describeTime(std::filesystem::file_time_type time) {
    const auto system =
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(std::chrono::file_clock::to_sys(time));
    const std::time_t seconds = std::chrono::system_clock::to_time_t(system);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::ostringstream text;
    text << std::put_time(&utc, "%Y-%m-%d %H:%M:%S +0000");
    return text.str();
}

const char* flagText(bool flag) {
    return flag ? "true" : "false";
}

} // namespace

// --- Screen 1 ---------------------------------------------------------------------------------------------

void iPhoneBackupWizardView::startDeviceDetection() {
    if (deviceDetectionStarted_) {
        return;
    }
    deviceDetectionStarted_ = true;
    deviceManager_.startScanning(1.0);
    devicePollTimer_.start();
}

void iPhoneBackupWizardView::pollDetectedDevice() {
    const auto& devices = deviceManager_.connectedDevices();
    if (devices.empty()) {
        return;
    }
    selectedDevice_ = devices.front();
    devicePollTimer_.stop();
    setScreen(BackupWizardScreen::deviceDetected);
}

void iPhoneBackupWizardView::forgetUnpluggedDevice() {
    if (currentScreen_ != BackupWizardScreen::deviceDetected || !selectedDevice_) {
        return;
    }
    const auto& devices = deviceManager_.connectedDevices();
    if (std::find(devices.begin(), devices.end(), *selectedDevice_) != devices.end()) {
        return;
    }
    logInfo("📱 " + selectedDevice_->name + " was unplugged; detecting again");
    selectedDevice_.reset();
    setScreen(BackupWizardScreen::detectingDevice);
    devicePollTimer_.start();
}

void iPhoneBackupWizardView::browseForExistingBackup() {
    logInfo("📂 User chose to browse for existing backup");
    platform::FolderPanelRequest request;
    // The panel shows no message line on Linux: the title says what to pick.
    request.title = QStringLiteral("Select iPhone Backup Folder (the folder that contains Manifest.plist)");
    request.acceptLabel = QStringLiteral("Select");
    // idevicebackup2 writes there; made private when missing, like the backup it will hold.
    const auto root = backupRootFolder();
    platform::createPrivateDirectory(root);
    request.directory = QString::fromStdString(root.string());
    std::error_code ec;
    if (std::filesystem::is_directory(macBackupRootFolder(), ec)) {
        request.shortcuts.append(QString::fromStdString(macBackupRootFolder().string()));
    }
    const auto answer = platform::panelPresenter()->chooseFolder(request);
    std::optional<std::filesystem::path> folder;
    if (answer) {
        folder = std::filesystem::path(answer->toStdString());
    }
    platform::runOnMainQueue(this, [this, folder] { handleBackupFolderSelection(folder); });
}

void iPhoneBackupWizardView::handleBackupFolderSelection(const std::optional<std::filesystem::path>& folder) {
    if (!folder) {
        logInfo("❌ User cancelled backup selection");
        return;
    }
    logInfo("📱 User selected backup: " + folder->string());
    if (isAccessingBackupResource_ && detectedBackupPath_) {
        platform::securityScope()->stopAccessing(*detectedBackupPath_); // a folder chosen earlier
    }
    isAccessingBackupResource_ = platform::securityScope()->startAccessing(*folder);
    if (isAccessingBackupResource_) {
        logInfo("✅ Started accessing security-scoped resource");
    }
    const auto release = [this, &folder] {
        if (isAccessingBackupResource_) {
            platform::securityScope()->stopAccessing(*folder);
            isAccessingBackupResource_ = false;
        }
    };
    const ChosenBackup chosen = inspectChosenBackup(*folder);
    if (chosen.problem == ChosenBackup::Problem::noManifest) {
        logError("❌ Manifest.plist not found");
        release();
        presentError(QStringLiteral("This doesn't appear to be a valid iPhone backup folder. Please select the folder "
                                    "that contains Manifest.plist (e.g., 00008120-001A2B3C4D5E6F70)."));
        return;
    }
    logInfo("✅ Manifest.plist found");
    if (chosen.problem == ChosenBackup::Problem::unreadableManifest) {
        logError("❌ Could not read Manifest.plist");
        release();
        presentError(QStringLiteral("Could not read backup information. Please select a valid backup folder."));
        return;
    }
    logInfo("✅ Valid backup found: " + chosen.deviceName);
    logInfo(std::string("🔐 Encrypted: ") + flagText(chosen.isEncrypted));
    detectedBackupPath_ = *folder;
    backupWasChosen_ = true;
    backupNeedsPassword_ = chosen.isEncrypted;
    setScreen(BackupWizardScreen::extractMessages);
}

// --- Screens 2 to 4 ---------------------------------------------------------------------------------------

void iPhoneBackupWizardView::continueToBackupOverview() {
    setScreen(BackupWizardScreen::backupOverview, 1);
}

void iPhoneBackupWizardView::openBackupFolder() {
    const auto folder = backupRootFolder();
    logInfo("📂 Opening backup folder: " + folder.string());
    // idevicebackup2 needs the folder to exist; it holds private data, so only the user may enter it.
    platform::createPrivateDirectory(folder);
    const bool shown = platform::desktopServices()->revealFolder(QString::fromStdString(folder.string()));
    if (currentScreen_ == BackupWizardScreen::backupOverview) {
        setScreen(BackupWizardScreen::configureBackup, 2);
    }
    if (!shown) {
        logError("No file manager could show " + folder.string());
        presentError(QStringLiteral("No file manager could show the backup folder. It is %1.")
                         .arg(QString::fromStdString(folder.string())));
    }
}

void iPhoneBackupWizardView::backupStarted() {
    setScreen(BackupWizardScreen::monitoringBackup, 3);
    startBackupMonitoring();
}

// --- Monitoring -------------------------------------------------------------------------------------------

void iPhoneBackupWizardView::startBackupMonitoring() {
    if (!selectedDevice_) {
        logError("Cannot start monitoring - no device selected");
        return;
    }
    logInfo("📡 Starting backup monitoring for device: " + selectedDevice_->udid);
    isDetectingBackup_ = true;
    checkBackupStatus();
    if (isDetectingBackup_) {
        backupMonitorTimer_.start();
    }
    refresh();
}

void iPhoneBackupWizardView::checkBackupStatus() {
    if (!selectedDevice_) {
        return;
    }
    const auto folder = deviceBackupFolder(selectedDevice_->udid);
    const BackupStatus status = readBackupStatus(folder);
    switch (status.state) {
    case BackupStatus::State::absent:
        return;
    case BackupStatus::State::finished:
        logInfo(std::string("✅ Backup completed! Full backup: ") + flagText(status.isFullBackup));
        stopBackupMonitoring();
        platform::runOnMainQueue(this, [this, folder] { handleBackupCompleted(folder); });
        return;
    case BackupStatus::State::inProgress:
        break;
    }
    if (!status.error.empty()) {
        logError("Error checking backup status: " + status.error);
        return;
    }
    if (!status.manifestModified) {
        return;
    }
    if (!lastBackupModificationDate_) {
        lastBackupModificationDate_ = status.manifestModified;
        logInfo("📅 Initial backup check - Manifest modified: " + describeTime(*status.manifestModified));
    } else if (*status.manifestModified > *lastBackupModificationDate_) {
        logInfo("📝 Backup updated! Manifest modified: " + describeTime(*status.manifestModified));
        lastBackupModificationDate_ = status.manifestModified;
    }
}

void iPhoneBackupWizardView::stopBackupMonitoring() {
    logInfo("🛑 Stopping backup monitoring");
    backupMonitorTimer_.stop();
    isDetectingBackup_ = false;
    refresh();
}

void iPhoneBackupWizardView::handleBackupCompleted(const std::filesystem::path& folder) {
    detectedBackupPath_ = folder;
    backupWasChosen_ = false;
    const ChosenBackup seen = inspectChosenBackup(folder);
    // Asked for unless the backup says plainly that it is not encrypted.
    backupNeedsPassword_ = seen.problem != ChosenBackup::Problem::none || seen.isEncrypted;
    // The extract screen is the last of the steps: its counter says so from the start.
    setScreen(BackupWizardScreen::extractMessages, 4);
}

} // namespace quillobrandt
