#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "Quillobrandt/backup/iPhoneDevice.h"
#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/wizard/SaveExtractionDialog.h"
#include "Quillobrandt/wizard/SavedExtractions.h"
#include "Quillobrandt/wizard/iPhoneDeviceManager.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QWidget;

namespace platform {
class NotificationHub;
}

namespace quillobrandt {

class AppState;

enum class BackupWizardScreen {
    detectingDevice,
    deviceDetected,
    backupOverview,
    configureBackup,
    monitoringBackup,
    extractMessages,
    complete,
};

// The iPhone backup wizard, a window-modal sheet of the main window: detect the iPhone, make an encrypted backup
// with idevicebackup2 (or pick an existing backup folder), extract the messages on a worker and hand them to
// AppState, then offer to save the extraction. All state lives on the GUI thread; the worker posts back.
//
// The main window opens it with present() on "ShowBackupWizard". The wizard closes itself (dismissWizard(), or
// isPresented becoming false after the save dialog) and deletes itself once closed; closing it stops watching a
// backup. Closing (or destroying) it during an extraction cancels the extraction without waiting for it: AppState
// keeps its source, and the worker removes its working folder when it reaches its next stopping point. The
// extraction's load is one of AppState's loads: one asked for later, from anywhere, wins over it.
class iPhoneBackupWizardView : public QDialog {
    Q_OBJECT
public:
    // `hub` receives "ResizeWindow" (the default centre when null).
    explicit iPhoneBackupWizardView(AppState& appState, QWidget* parent = nullptr,
                                    platform::NotificationHub* hub = nullptr);
    ~iPhoneBackupWizardView() override;

    // Shows a new wizard as a window-modal sheet of `parent`, deleted once closed; device detection starts.
    static iPhoneBackupWizardView* present(AppState& appState, QWidget* parent,
                                           platform::NotificationHub* hub = nullptr);

    // State (read by tests and the screens).
    BackupWizardScreen currentScreen() const { return currentScreen_; }
    int currentStepNumber() const { return currentStepNumber_; }
    int totalSteps() const { return totalSteps_; }
    bool isStepCounterVisible() const;
    QString stepCounterText() const;
    const std::optional<iPhoneDevice>& selectedDevice() const { return selectedDevice_; }
    const QString& backupPassword() const { return backupPassword_; }
    void setBackupPassword(const QString& password);
    bool showPassword() const { return showPassword_; }
    void setShowPassword(bool value);
    bool isDetectingBackup() const { return isDetectingBackup_; }
    bool isExtracting() const { return isExtracting_; }
    double extractionProgress() const { return extractionProgress_; }
    const QString& extractionMessage() const { return extractionMessage_; }
    bool showError() const { return showError_; }
    const QString& errorMessage() const { return errorMessage_; }
    const std::optional<std::filesystem::path>& detectedBackupPath() const { return detectedBackupPath_; }
    bool isAccessingBackupResource() const { return isAccessingBackupResource_; }
    bool backupNeedsPassword() const { return backupNeedsPassword_; }
    const QString& saveExtractionName() const { return saveExtractionName_; }
    const std::vector<SavedExtraction>& savedExtractions() const { return savedExtractions_; }
    bool showSaveDialog() const { return showSaveDialog_; }
    const std::optional<std::filesystem::path>& pendingExtractionPath() const { return pendingExtractionPath_; }
    bool isPresented() const { return isPresented_; }
    bool isBackupMonitorRunning() const { return backupMonitorTimer_.isActive(); }
    bool isDevicePollRunning() const { return devicePollTimer_.isActive(); }
    iPhoneDeviceManager& deviceManager() { return deviceManager_; }
    SaveExtractionDialog* saveDialog() const { return saveDialog_; }

    // The line under screen 1's spinner: why no device can be looked for; empty while the tools work.
    QString detectionProblemText() const;

    // Screen 1: device detection, or an existing backup folder.
    void startDeviceDetection();
    void pollDetectedDevice();
    // A phone announced as detected that is no longer listed (unplugged) is forgotten, and detection starts over.
    void forgetUnpluggedDevice();
    void browseForExistingBackup();
    void handleBackupFolderSelection(const std::optional<std::filesystem::path>& folder);
    // Screens 2 to 4: guidance.
    void continueToBackupOverview();
    void openBackupFolder();
    void backupStarted();
    // Monitoring the device's backup folder.
    void startBackupMonitoring();
    void checkBackupStatus();
    void stopBackupMonitoring();
    void handleBackupCompleted(const std::filesystem::path& folder);
    // Extraction.
    void extractMessagesAction();
    void startExtraction();
    // Saving and closing.
    void saveExtraction(const QString& name, const std::filesystem::path& path);
    void skipSaveExtraction();
    void showCompleteScreen();
    void dismissWizard();
    void setPresented(bool value);

    // For tests: blocks until every extraction worker is idle, also those of closed wizards (their reports
    // still need the event loop).
    bool waitForExtraction(int timeoutMs = 60000);
    static bool waitForExtractionWorkers(int timeoutMs = 60000);

    // The commands the guidance screens show, aimed at the device with `udid` (any device when empty).
    static QString pairCommand(const std::string& udid);
    static QString encryptionCommand(const std::string& udid);
    static QString backupCommand(const std::string& udid);

signals:
    void stateChanged();
    void presentedChanged(bool value);

protected:
    void showEvent(QShowEvent* event) override;
    // Fits the shown screen to the view whenever the view changes size.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Return runs the shown screen's main action when it is enabled, and nothing else: never a close.
    void keyPressEvent(QKeyEvent* event) override;

public:
    void done(int result) override;

private:
    void buildLayout();
    QWidget* buildDetectingDeviceScreen();
    QWidget* buildDeviceDetectedScreen();
    QWidget* buildBackupOverviewScreen();
    QWidget* buildConfigureBackupScreen();
    QWidget* buildMonitoringBackupScreen();
    QWidget* buildExtractMessagesScreen();
    QWidget* buildCompleteScreen();
    void setScreen(BackupWizardScreen screen, std::optional<int> stepNumber = std::nullopt);
    void refresh();
    void focusShownScreen();
    void presentError(const QString& message);
    void setProgress(const QString& message, double progress);
    void applyExtractedConversations(std::vector<Conversation> conversations, const std::filesystem::path& database);
    void showExtractionError(const QString& description);
    void showLoadError(const QString& description);
    void stopBackupResourceAccess();
    void openSaveDialog();
    void handleDisappear();
    void cancelExtraction();
    void endRunningExtraction();
    void applyBoundedSize();
    // Notes a screen's designed spacing and gives it its designed margins.
    static void keepDesignedSpacing(QWidget& screen);
    // The shown screen at its designed spacing, or closer together when it would not fit the view without scrolling.
    void fitShownScreen();

    AppState& appState_;
    platform::NotificationHub& hub_;
    bool isPresented_ = true;
    iPhoneDeviceManager deviceManager_;
    BackupWizardScreen currentScreen_ = BackupWizardScreen::detectingDevice;
    int currentStepNumber_ = 1;
    const int totalSteps_ = 4;
    std::optional<iPhoneDevice> selectedDevice_;
    QString backupPassword_;
    bool showPassword_ = false;
    bool isDetectingBackup_ = false;
    bool isExtracting_ = false;
    double extractionProgress_ = 0.0;
    QString extractionMessage_;
    std::uint64_t progressReports_ = 0; // how many progress lines were shown, so a delayed one can tell it is late
    bool showError_ = false;
    QString errorMessage_;
    std::optional<std::filesystem::path> detectedBackupPath_;
    bool isAccessingBackupResource_ = false;
    // What the extract screen knows of its backup: picked with the folder panel rather than watched to its end
    // here, and whether it is encrypted (then it needs its password).
    bool backupWasChosen_ = false;
    bool backupNeedsPassword_ = true;
    QString saveExtractionName_;
    std::vector<SavedExtraction> savedExtractions_;
    bool showSaveDialog_ = false;
    std::optional<std::filesystem::path> pendingExtractionPath_;
    QTimer backupMonitorTimer_;
    std::optional<std::filesystem::file_time_type> lastBackupModificationDate_;
    QTimer devicePollTimer_;
    // The running extraction: its stop flag, its ticket among AppState's loads (a load asked for later wins over
    // it), and whether its pictures are still unextracted, committed with its conversations.
    struct RunningExtraction {
        std::shared_ptr<std::atomic<bool>> stop;
        std::uint64_t ticket = 0;
        bool isIPhoneBackup = true;
    };
    std::optional<RunningExtraction> runningExtraction_;
    bool deviceDetectionStarted_ = false;
    bool disappeared_ = false;
    bool deleteWhenClosed_ = false;

    // Widgets.
    std::vector<QWidget*> screens_;             // in BackupWizardScreen order
    QWidget* screenView_ = nullptr;             // the scroll area's view of the shown screen
    std::array<QPushButton*, 7> mainButtons_{}; // each screen's main action, null where it has none
    QLabel* stepCounter_ = nullptr;
    QWidget* detectionProblemRow_ = nullptr;
    QLabel* detectionProblem_ = nullptr;
    QWidget* footerDivider_ = nullptr;
    QWidget* footer_ = nullptr;
    QPushButton* footerCloseButton_ = nullptr;
    QLabel* deviceNameLabel_ = nullptr;
    QWidget* deviceCard_ = nullptr;
    QWidget* deviceChip_ = nullptr;
    QLabel* deviceChipName_ = nullptr;
    std::vector<QWidget*> commandRows_; // pair, encryption, backup
    QLabel* extractTitle_ = nullptr;
    QWidget* passwordSection_ = nullptr;
    QLabel* plainBackupNote_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    QPushButton* eyeButton_ = nullptr;
    QWidget* progressPanel_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* progressMessage_ = nullptr;
    QPushButton* extractButton_ = nullptr;
    QPointer<SaveExtractionDialog> saveDialog_;
};

} // namespace quillobrandt
