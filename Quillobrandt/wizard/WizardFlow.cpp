// What the wizard's screens do: find the device, guide the backup, watch it finish, extract and load.
#include <QCoreApplication>
#include <QDate>
#include <QLocale>
#include <QPointer>
#include <QSizeF>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <future>
#include <iomanip>
#include <memory>
#include <sstream>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/LoadedHistory.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/wizard/BackupFolders.h"
#include "Quillobrandt/wizard/ExtractionPipeline.h"
#include "Quillobrandt/wizard/UnsavedExtractions.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/core/SignalStack.h"
#include "platform/qt/DesktopServices.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/SecurityScope.h"

namespace quillobrandt {
namespace {

void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

// Errors go to the log and to standard output.
void logError(const std::string& line) {
    Logger::shared().log(line, Logger::Level::error);
    platform::consoleLine(line.rfind("❌", 0) == 0 ? line : "❌ " + line);
}

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

// --- Extraction -------------------------------------------------------------------------------------------

void iPhoneBackupWizardView::extractMessagesAction() {
    currentStepNumber_ = 4;
    startExtraction();
}

namespace {

QThreadPool& extractionWorkers() {
    // Owned by the application object, so quitting waits for a stopped run to clean up after itself, while
    // closing a wizard never waits for its run.
    static QPointer<QThreadPool> pool;
    if (pool == nullptr) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setMaxThreadCount(4);
    }
    return *pool;
}

} // namespace

void iPhoneBackupWizardView::startExtraction() {
    if (!detectedBackupPath_) {
        logError("No backup path detected");
        presentError(QStringLiteral("No backup found. Please create a backup with idevicebackup2 first."));
        return;
    }
    if (isExtracting_ || (backupNeedsPassword_ && backupPassword_.isEmpty())) {
        return;
    }
    isExtracting_ = true;
    extractionProgress_ = 0.0;
    extractionMessage_ = QStringLiteral("Starting extraction from backup...");
    auto stop = std::make_shared<std::atomic<bool>>(false);
    runningExtraction_ = RunningExtraction{stop, appState_.beginLoad(), true};
    refresh();
    logInfo("🔄 Starting extraction from: " + detectedBackupPath_->string());

    const std::filesystem::path backup = *detectedBackupPath_;
    // Taken now: later edits of the field do not reach this extraction.
    auto password = std::make_shared<std::string>(backupNeedsPassword_ ? backupPassword_.toStdString() : std::string());
    QPointer<iPhoneBackupWizardView> self(this);
    platform::SerialWorker::Poster loader = appState_.historyLoader().poster();
    extractionWorkers().start([self, backup, password, stop, loader] {
        platform::ThreadSignalStack signalStack;
        // Reports reach the wizard only while it is open and the run was not cancelled; the application object
        // is the context because the wizard may go away while the run goes on.
        const auto deliver = [self, stop](const std::function<void(iPhoneBackupWizardView&)>& work) {
            if (self && !stop->load()) {
                work(*self);
            }
        };
        const auto post = [deliver](std::function<void(iPhoneBackupWizardView&)> work) {
            platform::runOnMainQueue([deliver, work = std::move(work)] { deliver(work); });
        };
        ExtractionReport report;
        report.progress = [post](const std::string& message, double progress) {
            post([text = QString::fromStdString(message), progress](auto& view) { view.setProgress(text, progress); });
        };
        report.delayedProgress = [post, deliver](const std::string& message, double progress, int delayMs) {
            // Shown only while no later line came: a run that got further (or finished) keeps its own line.
            post([deliver, text = QString::fromStdString(message), progress, delayMs](auto& view) {
                const std::uint64_t seen = view.progressReports_;
                platform::runOnMainQueueAfter(std::chrono::milliseconds(delayMs), &view, [deliver, text, progress, seen] {
                    deliver([&text, progress, seen](auto& late) {
                        if (late.progressReports_ == seen) {
                            late.setProgress(text, progress);
                        }
                    });
                });
            });
        };
        report.setIsIPhoneBackup = [post](bool value) {
            post([value](auto& view) {
                if (view.runningExtraction_) {
                    view.runningExtraction_->isIPhoneBackup = value;
                }
            });
        };
        report.extractionFailed = [post](const std::string& description) {
            post([text = QString::fromStdString(description)](auto& view) { view.showExtractionError(text); });
        };
        report.loadFailed = [post](const std::string& description) {
            post([text = QString::fromStdString(description)](auto& view) { view.showLoadError(text); });
        };
        report.loaded = [self, stop, loader](std::vector<Conversation> conversations,
                                             const std::filesystem::path& database) {
            auto shared = std::make_shared<std::vector<Conversation>>(std::move(conversations));
            platform::runOnMainQueue([self, stop, shared, database, loader] {
                if (self && !stop->load()) {
                    self->applyExtractedConversations(std::move(*shared), database);
                    return;
                }
                // Cancelled after the worker's last look at the flag: nobody will use the folder or the list.
                discardHistory(std::move(*shared), loader);
                const auto folder = database.parent_path();
                extractionWorkers().start([folder] {
                    platform::ThreadSignalStack signalStack;
                    removeExtractionFolder(folder);
                });
            });
        };
        report.loadFinished = [post] { post([](auto& view) { view.stopBackupResourceAccess(); }); };
        report.runLoad = [loader](const std::function<void(std::stop_token)>& load) {
            // The history is read where every history is read; this worker waits for it.
            auto done = std::make_shared<std::promise<void>>();
            auto finished = done->get_future();
            const bool queued = loader([&load, done](std::stop_token stop) {
                // Set however the load ends, so the worker never waits for nothing.
                struct Finish {
                    std::promise<void>& promise;
                    ~Finish() { promise.set_value(); }
                } finish{*done};
                load(std::move(stop));
            });
            if (queued) {
                finished.wait();
            }
        };
        performExtraction(backup, *password, report, stop.get());
        std::fill(password->begin(), password->end(), '\0');
    });
}

void iPhoneBackupWizardView::cancelExtraction() {
    if (!runningExtraction_) {
        return;
    }
    logInfo("🛑 Extraction cancelled");
    runningExtraction_->stop->store(true);
    endRunningExtraction();
}

void iPhoneBackupWizardView::endRunningExtraction() {
    if (runningExtraction_) {
        runningExtraction_.reset();
        appState_.endLoad();
    }
}

void iPhoneBackupWizardView::setProgress(const QString& message, double progress) {
    ++progressReports_;
    extractionMessage_ = message;
    extractionProgress_ = progress;
    refresh();
}

void iPhoneBackupWizardView::applyExtractedConversations(std::vector<Conversation> conversations,
                                                         const std::filesystem::path& database) {
    const auto folder = database.parent_path();
    const bool newest = runningExtraction_ && appState_.isNewestLoad(runningExtraction_->ticket);
    const bool picturesMissing = !runningExtraction_ || runningExtraction_->isIPhoneBackup;
    if (!newest) {
        // A load asked for after this extraction has the last word; nothing of this one is shown or kept.
        logInfo("⏭️ Ignoring an overtaken load of " + database.string());
        appState_.discardConversations(std::move(conversations));
        extractionWorkers().start([folder] {
            platform::ThreadSignalStack signalStack;
            removeExtractionFolder(folder);
        });
        endRunningExtraction();
        isExtracting_ = false;
        refresh();
        return;
    }
    platform::consoleLine("⏱️ Setting appState.conversations = " + std::to_string(conversations.size()) +
                          " conversations...");
    const bool found = !conversations.empty();
    // The extraction's folder is the attachment base, also for an edited copy saved from it later.
    appState_.commitLoad({database, folder, picturesMissing}, std::move(conversations));
    endRunningExtraction();
    noteUnsavedExtraction(folder); // until the save dialog says otherwise
    if (found) { // an empty history keeps the start screen, which says so
        platform::consoleLine("⏱️ Posting ResizeWindow notification...");
        hub_.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(810, 690)));
        platform::consoleLine("⏱️ ResizeWindow notification posted");
    }
    pendingExtractionPath_ = database;
    saveExtractionName_ =
        QStringLiteral("iPhone Backup ") + QLocale().toString(QDate::currentDate(), QLocale::ShortFormat);
    refresh();
    platform::runOnMainQueueAfter(std::chrono::milliseconds(500), this, [this] { openSaveDialog(); });
}

void iPhoneBackupWizardView::showExtractionError(const QString& description) {
    endRunningExtraction();
    isExtracting_ = false;
    presentError(QStringLiteral("Extraction failed: ") + description);
}

void iPhoneBackupWizardView::showLoadError(const QString& description) {
    endRunningExtraction();
    isExtracting_ = false; // back to the extract screen, as after an extraction error
    presentError(QStringLiteral("Failed to load messages: ") + description);
}

void iPhoneBackupWizardView::stopBackupResourceAccess() {
    if (isAccessingBackupResource_ && detectedBackupPath_) {
        platform::consoleLine("🛑 Stopping security-scoped resource access after extraction");
        platform::securityScope()->stopAccessing(*detectedBackupPath_);
        isAccessingBackupResource_ = false;
    }
}

bool iPhoneBackupWizardView::waitForExtraction(int timeoutMs) {
    return waitForExtractionWorkers(timeoutMs);
}

bool iPhoneBackupWizardView::waitForExtractionWorkers(int timeoutMs) {
    return extractionWorkers().waitForDone(timeoutMs);
}

void iPhoneBackupWizardView::showCompleteScreen() {
    setScreen(BackupWizardScreen::complete);
}

} // namespace quillobrandt
