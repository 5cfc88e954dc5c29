// The seven screens of the wizard. Each builder returns a widget with a layout; the frame sets the margins.
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/wizard/BackupFolders.h"
#include "Quillobrandt/wizard/WizardWidgets.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"

namespace quillobrandt {
namespace {

using wizard::TextStyle;

QPushButton* mainButton(const QString& text, const QString& objectName, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(objectName);
    button->setMinimumHeight(36);
    // Return reaches it through the wizard (see keyPressEvent), never by a button taking the default.
    button->setAutoDefault(false);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    showKeyboardFocus(*button, 3); // drawn as the default on its screen, it would look focused already
    return button;
}

QWidget* box(QWidget* parent, const QColor& tint, int alphaPercent) {
    auto* frame = new QWidget(parent);
    frame->setObjectName(QStringLiteral("box"));
    frame->setAttribute(Qt::WA_StyledBackground);
    frame->setStyleSheet(QStringLiteral("#box { background: rgba(%1, %2, %3, %4%); border-radius: 12px; }")
                             .arg(tint.red())
                             .arg(tint.green())
                             .arg(tint.blue())
                             .arg(alphaPercent));
    return frame;
}

QWidget* stepHeader(int number, const QString& text, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    auto* badge = wizard::textLabel(QString::number(number), TextStyle::headline, row);
    badge->setObjectName(QStringLiteral("stepNumber"));
    badge->setFixedSize(32, 32);
    badge->setAlignment(Qt::AlignCenter);
    badge->setStyleSheet(
        QStringLiteral("color: white; background: %1; border-radius: 16px;").arg(wizard::badgeBlue().name()));
    layout->addWidget(badge);
    layout->addWidget(wizard::textLabel(text, TextStyle::headline, row), 1);
    return row;
}

// Single quotes keep every character literal when the command is pasted into a shell.
QString singleQuoted(const QString& text) {
    QString quoted = text;
    quoted.replace(QStringLiteral("'"), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// "-u <UDID> " for a known device; a UDID is letters, digits and dashes, anything else is quoted.
QString deviceOption(const std::string& udid) {
    if (udid.empty()) {
        return {};
    }
    const QString text = QString::fromStdString(udid);
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9-]+$"));
    return QStringLiteral("-u %1 ").arg(plain.match(text).hasMatch() ? text : singleQuoted(text));
}

} // namespace

QString iPhoneBackupWizardView::pairCommand(const std::string& udid) {
    return QStringLiteral("idevicepair %1pair").arg(deviceOption(udid));
}

QString iPhoneBackupWizardView::encryptionCommand(const std::string& udid) {
    return QStringLiteral("idevicebackup2 %1-i encryption on").arg(deviceOption(udid));
}

QString iPhoneBackupWizardView::backupCommand(const std::string& udid) {
    return QStringLiteral("idevicebackup2 %1backup --full %2")
        .arg(deviceOption(udid), singleQuoted(QString::fromStdString(backupRootFolder().string())));
}

QWidget* iPhoneBackupWizardView::buildDetectingDeviceScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(32);
    column->addStretch(1);
    column->addWidget(
        wizard::symbolView(QStringLiteral("iphone.radiowaves.left.and.right"), 80, wizard::blueColor(), screen), 0,
        Qt::AlignHCenter);
    auto* title = wizard::textLabel(QStringLiteral("Detecting iPhone..."), TextStyle::title2, screen);
    title->setAlignment(Qt::AlignHCenter);
    column->addWidget(title);
    auto* spinner = new QProgressBar(screen);
    spinner->setRange(0, 0);
    spinner->setMaximumWidth(120);
    column->addWidget(spinner, 0, Qt::AlignHCenter);
    auto* hint = wizard::textLabel(
        QStringLiteral("Make sure your iPhone is connected via USB, unlocked, and trusts this computer"),
        TextStyle::subheadlineSecondary, screen);
    hint->setObjectName(QStringLiteral("detectionHint"));
    hint->setAlignment(Qt::AlignHCenter);
    column->addWidget(hint);
    // Why nothing can be found: in the label colour, to be read; the warning sign beside it carries the orange.
    // Centred as a pair, the text wrapping under itself.
    detectionProblemRow_ = new QWidget(screen);
    auto* problemRow = new QHBoxLayout(detectionProblemRow_);
    problemRow->setContentsMargins(0, 0, 0, 0);
    problemRow->setSpacing(6);
    detectionProblem_ = wizard::textLabel(QString(), TextStyle::subheadline, detectionProblemRow_);
    detectionProblem_->setObjectName(QStringLiteral("detectionProblem"));
    detectionProblem_->setMaximumWidth(520);
    problemRow->addStretch(1);
    problemRow->addWidget(new SymbolIcon(QStringLiteral("exclamationmark.triangle.fill"),
                                         detectionProblem_->font().pixelSize() + 2, wizard::orangeColor(),
                                         detectionProblemRow_),
                          0, Qt::AlignTop);
    problemRow->addWidget(detectionProblem_);
    problemRow->addStretch(1);
    column->addWidget(detectionProblemRow_);
    column->addStretch(1);
    auto* orLabel = wizard::textLabel(QStringLiteral("— or —"), TextStyle::subheadlineSecondary, screen);
    orLabel->setAlignment(Qt::AlignHCenter);
    column->addWidget(orLabel);
    auto* browse = new QPushButton(QStringLiteral("Browse for Existing Backup"), screen);
    browse->setObjectName(QStringLiteral("browseButton"));
    setButtonSymbol(*browse, QStringLiteral("folder.badge.questionmark"), 16, SymbolInk::label);
    browse->setMinimumHeight(36);
    connect(browse, &QPushButton::clicked, this, [this] { browseForExistingBackup(); });
    column->addWidget(browse);
    return screen;
}

QWidget* iPhoneBackupWizardView::buildDeviceDetectedScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(32);
    column->addStretch(1);
    column->addWidget(wizard::symbolView(QStringLiteral("checkmark.circle.fill"), 80, wizard::greenColor(), screen), 0,
                      Qt::AlignHCenter);
    auto* title = wizard::textLabel(QStringLiteral("iPhone Detected!"), TextStyle::title2, screen);
    title->setAlignment(Qt::AlignHCenter);
    column->addWidget(title);
    deviceCard_ = box(screen, wizard::blueColor(), 10);
    auto* cardRow = new QHBoxLayout(deviceCard_);
    cardRow->setContentsMargins(16, 16, 16, 16);
    cardRow->setSpacing(12);
    cardRow->addWidget(wizard::symbolView(QStringLiteral("iphone"), 32, wizard::blueColor(), deviceCard_));
    deviceNameLabel_ = wizard::textLabel(QString(), TextStyle::title3Medium, deviceCard_);
    deviceNameLabel_->setObjectName(QStringLiteral("deviceNameLabel"));
    cardRow->addWidget(deviceNameLabel_);
    column->addWidget(deviceCard_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    auto* next = mainButton(QStringLiteral("Continue"), QStringLiteral("continueButton"), screen);
    wizard::setTrailingSymbol(*next, QStringLiteral("arrow.right"));
    connect(next, &QPushButton::clicked, this, [this] { continueToBackupOverview(); });
    column->addWidget(next);
    mainButtons_[static_cast<std::size_t>(BackupWizardScreen::deviceDetected)] = next;
    return screen;
}

QWidget* iPhoneBackupWizardView::buildBackupOverviewScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(24);
    column->addWidget(wizard::textLabel(QStringLiteral("Create iPhone Backup"), TextStyle::title2Bold, screen));
    column->addWidget(wizard::textLabel(
        QStringLiteral("To access your messages, we need an encrypted backup of your iPhone. On Linux it is made with "
                       "idevicebackup2 (from libimobiledevice-utils), which securely copies your data to this "
                       "computer."),
        TextStyle::bodySecondary, screen));
    auto* info = box(screen, wizard::blueColor(), 5);
    auto* infoColumn = new QVBoxLayout(info);
    infoColumn->setContentsMargins(16, 16, 16, 16);
    infoColumn->setSpacing(12);
    auto* infoTitle = wizard::symbolTextRow(QStringLiteral("info.circle.fill"), wizard::blueColor(),
                                            QStringLiteral("What happens next:"), TextStyle::headline, info);
    auto* infoTitleText = infoTitle->findChild<QLabel*>();
    infoTitleText->setObjectName(QStringLiteral("stepListTitle"));
    infoTitleText->setStyleSheet(QStringLiteral("color: %1;").arg(wizard::readableBlue(*infoTitleText).name()));
    infoColumn->addWidget(infoTitle);
    infoColumn->addWidget(wizard::stepPreviewRow(1, QStringLiteral("We'll open the backup folder for you")));
    infoColumn->addWidget(wizard::stepPreviewRow(2, QStringLiteral("You'll let this computer pair with your iPhone")));
    infoColumn->addWidget(wizard::stepPreviewRow(3, QStringLiteral("You'll turn on backup encryption")));
    infoColumn->addWidget(wizard::stepPreviewRow(4, QStringLiteral("You'll start the backup and we'll monitor it")));
    column->addWidget(info);
    column->addStretch(1);
    auto* open = mainButton(QStringLiteral("Open Backup Folder"), QStringLiteral("openBackupFolderButton"), screen);
    setButtonSymbol(*open, QStringLiteral("folder"), 14, SymbolInk::label);
    connect(open, &QPushButton::clicked, this, [this] { openBackupFolder(); });
    column->addWidget(open);
    mainButtons_[static_cast<std::size_t>(BackupWizardScreen::backupOverview)] = open;
    return screen;
}

QWidget* iPhoneBackupWizardView::buildConfigureBackupScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(20);
    column->addWidget(wizard::textLabel(QStringLiteral("Configure Backup Settings"), TextStyle::title2Bold, screen));
    column->addWidget(wizard::textLabel(QStringLiteral("Run these commands in a terminal, one after the other:"),
                                        TextStyle::bodySecondary, screen));

    column->addWidget(stepHeader(1, QStringLiteral("Pair your iPhone with this computer"), screen));
    // "Look for" and a chip of the phone's symbol and name, as the device shows up in the tools' output.
    deviceChip_ = new QWidget(screen);
    deviceChip_->setObjectName(QStringLiteral("deviceChip"));
    auto* lookFor = new QHBoxLayout(deviceChip_);
    lookFor->setContentsMargins(44, 0, 0, 0);
    lookFor->setSpacing(12);
    lookFor->addWidget(wizard::textLabel(QStringLiteral("Look for"), TextStyle::subheadlineSecondary, deviceChip_));
    auto* chip = box(deviceChip_, wizard::blueColor(), 10);
    chip->setStyleSheet(chip->styleSheet().replace(QStringLiteral("12px"), QStringLiteral("8px")));
    auto* chipRow = new QHBoxLayout(chip);
    chipRow->setContentsMargins(12, 6, 12, 6);
    chipRow->setSpacing(8);
    chipRow->addWidget(new SymbolIcon(QStringLiteral("iphone"), 14, SymbolInk::label, chip));
    deviceChipName_ = wizard::textLabel(QString(), TextStyle::subheadlineMedium, chip);
    deviceChipName_->setObjectName(QStringLiteral("deviceChipName"));
    deviceChipName_->setWordWrap(false);
    chipRow->addWidget(deviceChipName_);
    lookFor->addWidget(chip);
    lookFor->addStretch(1);
    column->addWidget(deviceChip_);
    commandRows_.push_back(
        wizard::commandRow(pairCommand({}), QStringLiteral("pairCommand"), QStringLiteral("Copy the pairing command")));
    column->addWidget(commandRows_.back());
    column->addWidget(wizard::tipRow(
        QStringLiteral("Unlock your iPhone and tap \"Trust\" when it asks whether to trust this computer"), screen));

    column->addWidget(stepHeader(2, QStringLiteral("Configure backup settings"), screen));
    auto* checklist = new QWidget(screen);
    auto* checks = new QVBoxLayout(checklist);
    checks->setContentsMargins(44, 0, 0, 0);
    checks->addWidget(wizard::checklistRow(QStringLiteral("Turn on 'Encrypt local backup' once"), true));
    checks->addWidget(wizard::checklistRow(QStringLiteral("Type a new backup password when the command asks")));
    checks->addWidget(wizard::checklistRow(QStringLiteral("If asked, unlock your iPhone with its passcode")));
    column->addWidget(checklist);
    commandRows_.push_back(wizard::commandRow(encryptionCommand({}), QStringLiteral("encryptionCommand"),
                                              QStringLiteral("Copy the encryption command")));
    column->addWidget(commandRows_.back());
    column->addWidget(wizard::tipRow(
        QStringLiteral("The command asks for the password itself; never put it on the command line"), screen));

    column->addWidget(stepHeader(3, QStringLiteral("Start the backup"), screen));
    commandRows_.push_back(wizard::commandRow(backupCommand({}), QStringLiteral("backupCommand"),
                                              QStringLiteral("Copy the backup command")));
    column->addWidget(commandRows_.back());
    auto* folderButton = new QPushButton(QStringLiteral("Show Backup Folder"), screen);
    folderButton->setObjectName(QStringLiteral("showBackupFolderButton"));
    connect(folderButton, &QPushButton::clicked, this, [this] { openBackupFolder(); });
    auto* folderRow = new QHBoxLayout;
    folderRow->setContentsMargins(44, 0, 0, 0); // under the commands, not under the step's number
    folderRow->addWidget(folderButton);
    folderRow->addStretch(1);
    column->addLayout(folderRow);
    column->addWidget(
        wizard::tipRow(QStringLiteral("You'll need to enter your iPhone's passcode to allow the backup"), screen));
    column->addStretch(1);
    auto* started =
        mainButton(QStringLiteral("I've Started the Backup"), QStringLiteral("backupStartedButton"), screen);
    wizard::setTrailingSymbol(*started, QStringLiteral("arrow.right"));
    connect(started, &QPushButton::clicked, this, [this] { backupStarted(); });
    column->addWidget(started);
    mainButtons_[static_cast<std::size_t>(BackupWizardScreen::configureBackup)] = started;
    return screen;
}

QWidget* iPhoneBackupWizardView::buildMonitoringBackupScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(wizard::symbolView(QStringLiteral("arrow.down.circle"), 80, wizard::blueColor(), screen), 0,
                      Qt::AlignHCenter);
    for (const auto& [text, style] :
         {std::pair{QStringLiteral("Monitoring Backup Progress"), TextStyle::title2},
          std::pair{QStringLiteral("Checking every 5 seconds..."), TextStyle::subheadlineSecondary},
          std::pair{QStringLiteral("This typically takes 5-15 minutes"), TextStyle::captionSecondary}}) {
        auto* label = wizard::textLabel(text, style, screen);
        label->setAlignment(Qt::AlignHCenter);
        column->addWidget(label);
    }
    auto* spinner = new QProgressBar(screen);
    spinner->setRange(0, 0);
    spinner->setMaximumWidth(120);
    column->addWidget(spinner, 0, Qt::AlignHCenter);
    auto* note = box(screen, palette().color(QPalette::WindowText), 10);
    auto* noteColumn = new QVBoxLayout(note);
    noteColumn->addWidget(wizard::symbolTextRow(
        QStringLiteral("info.circle.fill"), wizard::blueColor(),
        QStringLiteral("Closing this window stops the watching, not the backup"), TextStyle::captionSecondary, note));
    noteColumn->addWidget(wizard::symbolTextRow(QStringLiteral("exclamationmark.triangle.fill"), wizard::orangeColor(),
                                                QStringLiteral("Remember your backup password - you'll need it next!"),
                                                TextStyle::captionSecondary, note));
    column->addWidget(note);
    column->addStretch(1);
    return screen;
}

QWidget* iPhoneBackupWizardView::buildExtractMessagesScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(16);
    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(wizard::symbolView(QStringLiteral("checkmark.circle.fill"), 32, wizard::greenColor(), screen));
    extractTitle_ = wizard::textLabel(QStringLiteral("Backup Complete!"), TextStyle::title2Bold, screen);
    extractTitle_->setObjectName(QStringLiteral("extractTitle"));
    titleRow->addWidget(extractTitle_, 1);
    column->addLayout(titleRow);
    column->addWidget(wizard::textLabel(QStringLiteral("Now we'll extract your messages from the backup"),
                                        TextStyle::bodySecondary, screen));
    // Only an encrypted backup needs its password.
    passwordSection_ = new QWidget(screen);
    auto* section = new QVBoxLayout(passwordSection_);
    section->setContentsMargins(0, 0, 0, 0);
    section->setSpacing(column->spacing());
    section->addWidget(
        wizard::textLabel(QStringLiteral("Enter Backup Password"), TextStyle::headline, passwordSection_));
    auto* passwordRow = new QHBoxLayout;
    passwordField_ = new QLineEdit(passwordSection_);
    passwordField_->setObjectName(QStringLiteral("passwordField"));
    passwordField_->setPlaceholderText(QStringLiteral("Backup password"));
    connect(passwordField_, &QLineEdit::textEdited, this, [this](const QString& text) { setBackupPassword(text); });
    passwordRow->addWidget(passwordField_, 1);
    eyeButton_ = new SymbolButton(QStringLiteral("eye"), 16, SymbolInk::secondaryLabel, QStringLiteral("Show Password"),
                                  passwordSection_);
    eyeButton_->setObjectName(QStringLiteral("eyeButton"));
    eyeButton_->setAutoDefault(false);
    connect(eyeButton_, &QPushButton::clicked, this, [this] { setShowPassword(!showPassword_); });
    passwordRow->addWidget(eyeButton_);
    section->addLayout(passwordRow);
    section->addWidget(wizard::textLabel(QStringLiteral("This is the password you set when you turned on backup "
                                                        "encryption"),
                                         TextStyle::captionSecondary, passwordSection_));
    column->addWidget(passwordSection_);
    plainBackupNote_ = wizard::textLabel(QStringLiteral("This backup is not encrypted, so no password is needed."),
                                         TextStyle::bodySecondary, screen);
    plainBackupNote_->setObjectName(QStringLiteral("plainBackupNote"));
    column->addWidget(plainBackupNote_);

    progressPanel_ = box(screen, wizard::blueColor(), 10);
    progressPanel_->setObjectName(QStringLiteral("box"));
    auto* panelColumn = new QVBoxLayout(progressPanel_);
    progressBar_ = new QProgressBar(progressPanel_);
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    progressBar_->setRange(0, 1000);
    progressBar_->setTextVisible(false);
    panelColumn->addWidget(progressBar_);
    progressMessage_ = wizard::textLabel(QString(), TextStyle::subheadlineSecondary, progressPanel_);
    progressMessage_->setObjectName(QStringLiteral("progressMessage"));
    panelColumn->addWidget(progressMessage_);
    column->addWidget(progressPanel_);

    extractButton_ = mainButton(QStringLiteral("Extract Messages"), QStringLiteral("extractButton"), screen);
    setButtonSymbol(*extractButton_, QStringLiteral("arrow.down.doc.fill"), 14, SymbolInk::label);
    connect(extractButton_, &QPushButton::clicked, this, [this] { extractMessagesAction(); });
    column->addWidget(extractButton_);
    mainButtons_[static_cast<std::size_t>(BackupWizardScreen::extractMessages)] = extractButton_;
    column->addStretch(1);
    return screen;
}

QWidget* iPhoneBackupWizardView::buildCompleteScreen() {
    auto* screen = new QWidget;
    auto* column = new QVBoxLayout(screen);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(wizard::symbolView(QStringLiteral("checkmark.circle.fill"), 64, wizard::greenColor(), screen), 0,
                      Qt::AlignHCenter);
    for (const auto& [text, style] :
         {std::pair{QStringLiteral("Extraction Complete!"), TextStyle::title2Bold},
          std::pair{QStringLiteral("Your iPhone messages have been extracted and loaded successfully."),
                    TextStyle::bodySecondary},
          std::pair{QStringLiteral("Click Close to view your conversations."), TextStyle::subheadlineSecondary}}) {
        auto* label = wizard::textLabel(text, style, screen);
        label->setAlignment(Qt::AlignHCenter);
        column->addWidget(label);
    }
    column->addStretch(1);
    return screen;
}

} // namespace quillobrandt
