// The wizard's frame: header with the step counter, the screen stack, the footer, the error alert, the save
// dialog and the ways the wizard closes.
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/ScreenFit.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/wizard/SaveExtractionDialog.h"
#include "Quillobrandt/wizard/UnsavedExtractions.h"
#include "Quillobrandt/wizard/WizardWidgets.h"
#include "platform/core/Console.h"
#include "platform/core/UserDefaults.h"
#include "platform/core/Uuid.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/SecurityScope.h"

namespace quillobrandt {

using style::divider;

iPhoneBackupWizardView::iPhoneBackupWizardView(AppState& appState, QWidget* parent, platform::NotificationHub* hub)
    : QDialog(parent), appState_(appState), hub_(hub != nullptr ? *hub : platform::NotificationHub::defaultCenter()) {
    setWindowTitle(QStringLiteral("Quillobrandt"));
    applyBoundedSize();
    devicePollTimer_.setInterval(500);
    connect(&devicePollTimer_, &QTimer::timeout, this, [this] { pollDetectedDevice(); });
    backupMonitorTimer_.setInterval(5000);
    connect(&backupMonitorTimer_, &QTimer::timeout, this, [this] { checkBackupStatus(); });
    connect(&deviceManager_, &iPhoneDeviceManager::connectedDevicesChanged, this, [this] {
        forgetUnpluggedDevice();
        refresh();
    });
    connect(&deviceManager_, &iPhoneDeviceManager::scanProblemChanged, this, [this] { refresh(); });
    buildLayout();
    // Return belongs to the wizard (see keyPressEvent): no button takes the default look by being focused or first.
    for (auto* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
    }
    refresh();
    focusShownScreen();
}

iPhoneBackupWizardView::~iPhoneBackupWizardView() {
    handleDisappear();
}

iPhoneBackupWizardView* iPhoneBackupWizardView::present(AppState& appState, QWidget* parent,
                                                        platform::NotificationHub* hub) {
    auto* wizard = new iPhoneBackupWizardView(appState, parent, hub);
    wizard->deleteWhenClosed_ = true;
    wizard->setWindowModality(Qt::WindowModal);
    wizard->open();
    return wizard;
}

void iPhoneBackupWizardView::buildLayout() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget(this);
    header->setAutoFillBackground(true);
    auto* headerRow = new QHBoxLayout(header);
    auto* title = wizard::textLabel(QStringLiteral("Load iPhone Messages"), wizard::TextStyle::title2, header);
    title->setObjectName(QStringLiteral("wizardTitle"));
    title->setWordWrap(false);
    headerRow->addWidget(title);
    headerRow->addStretch(1);
    stepCounter_ = wizard::textLabel(QString(), wizard::TextStyle::subheadlineSecondary, header);
    stepCounter_->setObjectName(QStringLiteral("stepCounter"));
    stepCounter_->setWordWrap(false);
    stepCounter_->setContentsMargins(12, 6, 12, 6);
    headerRow->addWidget(stepCounter_);
    auto* closeButton = new SymbolButton(QStringLiteral("xmark.circle.fill"), 15, SymbolInk::secondaryLabel,
                                         QStringLiteral("Close"), header);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setAutoDefault(false); // Return must never close the wizard
    connect(closeButton, &QPushButton::clicked, this, [this] { dismissWizard(); });
    headerRow->addWidget(closeButton);
    column->addWidget(header);
    column->addWidget(divider(this));

    // One column holding every screen, only the current one shown: hidden screens take no room, so a short
    // screen never scrolls to the height of a taller one.
    auto* screenColumn = new QWidget;
    auto* screenLayout = new QVBoxLayout(screenColumn);
    screenLayout->setContentsMargins(0, 0, 0, 0);
    screens_ = {buildDetectingDeviceScreen(), buildDeviceDetectedScreen(),   buildBackupOverviewScreen(),
                buildConfigureBackupScreen(), buildMonitoringBackupScreen(), buildExtractMessagesScreen(),
                buildCompleteScreen()};
    for (auto* screen : screens_) {
        keepDesignedSpacing(*screen);
        screenLayout->addWidget(screen);
    }
    auto* scroll = makeContentScrollArea(this);
    scroll->setWidget(screenColumn);
    screenView_ = scroll->viewport();
    screenView_->installEventFilter(this);
    column->addWidget(scroll, 1);
    footerDivider_ = divider(this);
    column->addWidget(footerDivider_);

    footer_ = new QWidget(this);
    auto* footer = footer_;
    auto* footerRow = new QHBoxLayout(footer);
    footerRow->addStretch(1);
    footerCloseButton_ = new QPushButton(QStringLiteral("Close"), footer);
    footerCloseButton_->setObjectName(QStringLiteral("footerCloseButton"));
    footerCloseButton_->setAutoDefault(false);
    connect(footerCloseButton_, &QPushButton::clicked, this, [this] { dismissWizard(); });
    footerRow->addWidget(footerCloseButton_);
    column->addWidget(footer);
}

QString iPhoneBackupWizardView::detectionProblemText() const {
    return deviceManager_.scanProblem();
}

bool iPhoneBackupWizardView::isStepCounterVisible() const {
    // A backup picked with the folder panel skipped the backup's steps: its extract screen is no step of them.
    const bool pickedBackup = currentScreen_ == BackupWizardScreen::extractMessages && backupWasChosen_;
    return currentScreen_ != BackupWizardScreen::detectingDevice &&
           currentScreen_ != BackupWizardScreen::deviceDetected && currentScreen_ != BackupWizardScreen::complete &&
           !pickedBackup;
}

QString iPhoneBackupWizardView::stepCounterText() const {
    return QStringLiteral("Step %1 of %2").arg(currentStepNumber_).arg(totalSteps_);
}

void iPhoneBackupWizardView::setScreen(BackupWizardScreen screen, std::optional<int> stepNumber) {
    currentScreen_ = screen;
    if (stepNumber) {
        currentStepNumber_ = *stepNumber;
    }
    if (screen != BackupWizardScreen::detectingDevice) {
        devicePollTimer_.stop(); // a device listed later must not pull the user back to screen 2
    }
    refresh();
    for (std::size_t i = 0; i < mainButtons_.size(); ++i) {
        if (mainButtons_[i] != nullptr) {
            mainButtons_[i]->setDefault(i == static_cast<std::size_t>(screen)); // drawn as the default only
        }
    }
    focusShownScreen();
    if (screen == BackupWizardScreen::complete) {
        // The finished screen closes the wizard by itself.
        platform::runOnMainQueueAfter(std::chrono::milliseconds(2000), this, [this] { dismissWizard(); });
    }
}

// The keyboard starts on the shown screen's own control: the password it asks for, its main action, else its first
// control. Left on the header's close button, a Space pressed before any focus shows would close the wizard.
void iPhoneBackupWizardView::focusShownScreen() {
    const auto index = static_cast<std::size_t>(currentScreen_);
    QWidget* screen = screens_.at(index);
    QWidget* target = nullptr;
    if (currentScreen_ == BackupWizardScreen::extractMessages && backupNeedsPassword_) {
        target = passwordField_;
    } else if (QPushButton* action = mainButtons_.at(index);
               action != nullptr && action->isVisibleTo(this) && action->isEnabled()) {
        target = action;
    } else {
        for (QWidget* next = screen->nextInFocusChain(); next != screen; next = next->nextInFocusChain()) {
            if (screen->isAncestorOf(next) && (next->focusPolicy() & Qt::TabFocus) != 0 && next->isVisibleTo(this) &&
                next->isEnabled()) {
                target = next;
                break;
            }
        }
    }
    if (target != nullptr) {
        target->setFocus(Qt::OtherFocusReason);
    }
}

void iPhoneBackupWizardView::refresh() {
    for (std::size_t i = 0; i < screens_.size(); ++i) {
        screens_[i]->setVisible(i == static_cast<std::size_t>(currentScreen_));
    }
    fitShownScreen();
    stepCounter_->setVisible(isStepCounterVisible());
    stepCounter_->setText(stepCounterText());
    // Only the finished screen has anything in the footer; an empty one would only take room from the screens.
    footer_->setVisible(currentScreen_ == BackupWizardScreen::complete);
    footerDivider_->setVisible(footer_->isVisibleTo(this));
    detectionProblem_->setText(detectionProblemText());
    detectionProblemRow_->setVisible(!detectionProblem_->text().isEmpty());
    // As wide as its text, up to most of the screen's width; only a longer text wraps.
    detectionProblem_->setMinimumWidth(
        std::min(detectionProblem_->fontMetrics().horizontalAdvance(detectionProblem_->text()) + 2,
                 detectionProblem_->maximumWidth()));

    const QString deviceName = selectedDevice_ ? QString::fromStdString(selectedDevice_->name) : QString();
    deviceCard_->setVisible(selectedDevice_.has_value());
    deviceNameLabel_->setText(deviceName);
    // The card is as wide as the name, up to most of the screen's width; only a longer name wraps.
    deviceNameLabel_->setMinimumWidth(std::min(deviceNameLabel_->fontMetrics().horizontalAdvance(deviceName) + 2, 480));
    deviceChip_->setVisible(selectedDevice_.has_value());
    deviceChipName_->setText(deviceName);
    const std::string udid = selectedDevice_ ? selectedDevice_->udid : std::string();
    wizard::setCommand(commandRows_.at(0), pairCommand(udid));
    wizard::setCommand(commandRows_.at(1), encryptionCommand(udid));
    wizard::setCommand(commandRows_.at(2), backupCommand(udid));

    if (passwordField_->text() != backupPassword_) {
        passwordField_->setText(backupPassword_);
    }
    passwordField_->setEchoMode(showPassword_ ? QLineEdit::Normal : QLineEdit::Password);
    const QString eyeTitle = showPassword_ ? QStringLiteral("Hide Password") : QStringLiteral("Show Password");
    setButtonSymbol(*eyeButton_, showPassword_ ? QStringLiteral("eye.slash") : QStringLiteral("eye"), 16,
                    SymbolInk::secondaryLabel);
    eyeButton_->setToolTip(eyeTitle);
    eyeButton_->setAccessibleName(eyeTitle);
    extractTitle_->setText(backupWasChosen_ ? QStringLiteral("Backup Selected") : QStringLiteral("Backup Complete!"));
    passwordSection_->setVisible(backupNeedsPassword_);
    plainBackupNote_->setVisible(!backupNeedsPassword_);
    progressPanel_->setVisible(isExtracting_);
    progressBar_->setValue(static_cast<int>(std::lround(std::clamp(extractionProgress_, 0.0, 1.0) * 1000.0)));
    progressMessage_->setText(extractionMessage_);
    extractButton_->setVisible(!isExtracting_);
    extractButton_->setEnabled(!backupNeedsPassword_ || !backupPassword_.isEmpty());
    emit stateChanged();
}

void iPhoneBackupWizardView::setBackupPassword(const QString& password) {
    backupPassword_ = password;
    refresh();
}

void iPhoneBackupWizardView::setShowPassword(bool value) {
    showPassword_ = value;
    refresh();
}

void iPhoneBackupWizardView::presentError(const QString& message) {
    errorMessage_ = message;
    showError_ = true;
    refresh();
    // Shown from the event loop, so the caller's state changes are complete before the alert waits.
    platform::runOnMainQueue(this, [this] {
        if (!showError_) {
            return;
        }
        platform::AlertRequest request;
        request.messageText = QStringLiteral("Error");
        request.informativeText = errorMessage_;
        request.style = platform::AlertStyle::warning;
        request.buttons = {QStringLiteral("OK")};
        request.cancelButton = 0;
        platform::alertPresenter()->runModal(request);
        showError_ = false;
        refresh();
    });
}

void iPhoneBackupWizardView::saveExtraction(const QString& name, const std::filesystem::path& path) {
    savedExtractions_.push_back({platform::makeUuidString(), name.toStdString(), path, platform::AbsoluteTime::now()});
    // Earlier wizards' saves stay: each save adds one entry.
    appendSavedExtraction(platform::UserDefaults::standard(), savedExtractions_.back());
    noteExtractionSaved(path.parent_path());
}

void iPhoneBackupWizardView::openSaveDialog() {
    showSaveDialog_ = true;
    saveDialog_ = new SaveExtractionDialog(
        saveExtractionName_,
        [this](const QString& name) {
            saveExtractionName_ = name;
            if (pendingExtractionPath_) {
                saveExtraction(saveExtractionName_, *pendingExtractionPath_);
            }
            showSaveDialog_ = false;
            setPresented(false);
        },
        [this] { skipSaveExtraction(); }, this);
    saveDialog_->setAttribute(Qt::WA_DeleteOnClose);
    saveDialog_->setWindowModality(Qt::WindowModal);
    connect(saveDialog_, &QDialog::rejected, this, [this] {
        // Escape counts as skipping: the dialog has no dismiss action of its own.
        if (showSaveDialog_) {
            skipSaveExtraction();
        }
    });
    saveDialog_->open();
    refresh();
}

void iPhoneBackupWizardView::skipSaveExtraction() {
    showSaveDialog_ = false;
    setPresented(false);
}

void iPhoneBackupWizardView::setPresented(bool value) {
    if (isPresented_ == value) {
        return;
    }
    isPresented_ = value;
    emit presentedChanged(value);
    if (!value) {
        if (saveDialog_) {
            saveDialog_->close();
        }
        done(QDialog::Accepted);
    }
}

void iPhoneBackupWizardView::dismissWizard() {
    reject();
}

void iPhoneBackupWizardView::done(int result) {
    handleDisappear();
    if (isPresented_) {
        isPresented_ = false;
        emit presentedChanged(false);
    }
    QDialog::done(result);
    if (deleteWhenClosed_) {
        deleteLater();
    }
}

void iPhoneBackupWizardView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (currentScreen_ == BackupWizardScreen::detectingDevice) {
        startDeviceDetection();
    }
}

void iPhoneBackupWizardView::keyPressEvent(QKeyEvent* event) {
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier;
    if (!isReturn || !plain) {
        QDialog::keyPressEvent(event); // Escape still closes, as in every small sheet
        return;
    }
    event->accept();
    QPushButton* action = mainButtons_.at(static_cast<std::size_t>(currentScreen_));
    if (action != nullptr && action->isVisibleTo(this) && action->isEnabled()) {
        action->click();
    }
}

void iPhoneBackupWizardView::handleDisappear() {
    if (disappeared_) {
        return;
    }
    disappeared_ = true;
    cancelExtraction();
    deviceManager_.stopScanning();
    devicePollTimer_.stop();
    // Nobody would see what the watching finds; the backup itself goes on, and its folder can be picked later.
    if (isDetectingBackup_) {
        stopBackupMonitoring();
    }
    if (isAccessingBackupResource_ && detectedBackupPath_) {
        platform::consoleLine("🛑 Stopping security-scoped resource access on wizard close");
        platform::securityScope()->stopAccessing(*detectedBackupPath_);
        isAccessingBackupResource_ = false;
    }
}

} // namespace quillobrandt
