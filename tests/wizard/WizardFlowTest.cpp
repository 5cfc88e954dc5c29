// The wizard's screens in order, folder selection and backup monitoring, headless.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include "Quillobrandt/app/TextContrast.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/wizard/BackupFolders.h"
#include "Quillobrandt/wizard/SaveExtractionDialog.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "platform/core/Plist.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/wizard/WizardTestSupport.h"

namespace quillobrandt {
namespace {

namespace fs = std::filesystem;
using Screen = BackupWizardScreen;

class WizardFlowTest : public ::testing::Test {
protected:
    wizardtest::WizardEnvironment env;
    wizardtest::FakeTools tools;
};

TEST_F(WizardFlowTest, DetectedDeviceLeadsThroughTheGuidanceToMonitoring) {
    tools.install("FIRST\\nSECOND\\n");
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    EXPECT_EQ(wizard.currentScreen(), Screen::detectingDevice);
    EXPECT_EQ(wizard.backupPassword(), "");
    EXPECT_FALSE(wizard.findChild<QPushButton*>("extractButton")->isEnabled());
    EXPECT_FALSE(wizard.isStepCounterVisible());

    wizard.startDeviceDetection();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::deviceDetected; }));
    ASSERT_TRUE(wizard.selectedDevice());
    EXPECT_EQ(wizard.selectedDevice()->udid, "FIRST");
    EXPECT_EQ(wizard.findChild<QLabel*>("deviceNameLabel")->text(), "Phone of FIRST");
    EXPECT_FALSE(wizard.isStepCounterVisible());
    EXPECT_FALSE(wizard.isDevicePollRunning());

    // Unplugged while it is shown, the phone is no longer announced, and Continue cannot go on with it; plugged in
    // again, it is found again.
    tools.install("");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::detectingDevice; }));
    EXPECT_FALSE(wizard.selectedDevice());
    EXPECT_TRUE(wizard.isDevicePollRunning());
    tools.install("FIRST\\nSECOND\\n");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::deviceDetected; }));
    EXPECT_EQ(wizard.selectedDevice()->udid, "FIRST");

    wizard.findChild<QPushButton*>("continueButton")->click();
    EXPECT_EQ(wizard.currentScreen(), Screen::backupOverview);
    EXPECT_EQ(wizard.stepCounterText(), "Step 1 of 4");
    EXPECT_TRUE(wizard.isStepCounterVisible());

    // Without a file manager the folder cannot be shown: the user is told where it is instead.
    env.fake.desktop->result = false;
    wizard.findChild<QPushButton*>("openBackupFolderButton")->click();
    EXPECT_EQ(wizard.currentScreen(), Screen::configureBackup);
    EXPECT_EQ(wizard.stepCounterText(), "Step 2 of 4");
    ASSERT_EQ(env.fake.desktop->revealedFolders.size(), 1u);
    EXPECT_EQ(env.fake.desktop->revealedFolders[0].toStdString(), backupRootFolder().string());
    EXPECT_EQ(fs::status(backupRootFolder()).permissions() & fs::perms::all, fs::perms::owner_all);
    qbtest::drainEvents();
    ASSERT_EQ(env.fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(env.fake.alerts->alerts()[0].informativeText.toStdString(),
              "No file manager could show the backup folder. It is " + backupRootFolder().string() + ".");
    env.fake.desktop->result = true;
    wizard.findChild<QPushButton*>("showBackupFolderButton")->click();
    qbtest::drainEvents();
    EXPECT_EQ(env.fake.desktop->revealedFolders.size(), 2u);
    EXPECT_EQ(env.fake.alerts->alerts().size(), 1u);

    // Every command names the detected device and never carries a password; each field shows its start and
    // its Copy button copies all of it.
    const QString root = QString::fromStdString(backupRootFolder().string());
    // A screen reader hears which command each Copy button copies.
    const std::vector<std::tuple<const char*, QString, QString>> commands = {
        {"pairCommand", "idevicepair -u FIRST pair", "Copy the pairing command"},
        {"encryptionCommand", "idevicebackup2 -u FIRST -i encryption on", "Copy the encryption command"},
        {"backupCommand", "idevicebackup2 -u FIRST backup --full '" + root + "'", "Copy the backup command"}};
    for (const auto& [name, command, copyName] : commands) {
        auto* row = wizard.findChild<QWidget*>(name);
        ASSERT_NE(row, nullptr) << name;
        auto* field = row->findChild<QLineEdit*>("command");
        EXPECT_EQ(field->text(), command);
        EXPECT_EQ(field->cursorPosition(), 0) << name;
        auto* copy = row->findChild<QPushButton*>("copyButton");
        EXPECT_EQ(copy->text(), "Copy");
        EXPECT_EQ(copy->accessibleName(), copyName);
        copy->click();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), command);
    }
    EXPECT_EQ(iPhoneBackupWizardView::pairCommand("A B'C"), "idevicepair -u 'A B'\\''C' pair");
    EXPECT_EQ(iPhoneBackupWizardView::encryptionCommand(""), "idevicebackup2 -i encryption on");

    wizard.findChild<QPushButton*>("backupStartedButton")->click();
    EXPECT_EQ(wizard.currentScreen(), Screen::monitoringBackup);
    EXPECT_EQ(wizard.stepCounterText(), "Step 3 of 4");
    EXPECT_TRUE(wizard.isDetectingBackup());
    EXPECT_TRUE(wizard.isBackupMonitorRunning()); // no backup folder yet: keeps checking quietly

    // The backup appears, unfinished, then finishes.
    qbtest::BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("x"));
    const fs::path folder = generator.write(deviceBackupFolder("FIRST"));
    fs::remove(folder / "Status.plist");
    wizard.checkBackupStatus();
    EXPECT_EQ(wizard.currentScreen(), Screen::monitoringBackup);
    platform::Plist status = platform::Plist::dict();
    status.root().set("SnapshotState", platform::Plist::string("finished"));
    const auto bytes = status.toBinary();
    std::ofstream(folder / "Status.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    wizard.checkBackupStatus();
    EXPECT_FALSE(wizard.isBackupMonitorRunning());
    EXPECT_FALSE(wizard.isDetectingBackup());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::extractMessages; }));
    EXPECT_EQ(wizard.detectedBackupPath(), folder);
    EXPECT_EQ(wizard.stepCounterText(), "Step 4 of 4") << "the last step is the one shown";
    EXPECT_EQ(wizard.findChild<QLabel*>("extractTitle")->text(), "Backup Complete!");

    // Closing stops the device scans.
    EXPECT_TRUE(wizard.deviceManager().isTimerRunning());
    wizard.findChild<QPushButton*>("closeButton")->click();
    EXPECT_FALSE(wizard.deviceManager().isTimerRunning());
    EXPECT_FALSE(wizard.isPresented());
}

TEST_F(WizardFlowTest, MonitoringNeedsADevice) {
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.startBackupMonitoring(); // no device: nothing starts
    EXPECT_FALSE(wizard.isDetectingBackup());
    EXPECT_FALSE(wizard.isBackupMonitorRunning());
}

TEST_F(WizardFlowTest, ChosenFoldersAreCheckedForAManifest) {
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);

    // The panel opens where idevicebackup2 writes, made (private) when it is missing; a Mac's folder copied
    // into the home folder is offered beside it.
    ASSERT_FALSE(fs::exists(backupRootFolder()));
    fs::create_directories(macBackupRootFolder());
    env.fake.panels->answerNext(std::nullopt);
    wizard.browseForExistingBackup();
    qbtest::drainEvents();
    EXPECT_EQ(wizard.currentScreen(), Screen::detectingDevice);
    EXPECT_TRUE(env.fake.alerts->alerts().empty());
    ASSERT_EQ(env.fake.panels->folderRequests().size(), 1u);
    EXPECT_EQ(env.fake.panels->folderRequests()[0].directory.toStdString(), backupRootFolder().string());
    EXPECT_EQ(fs::status(backupRootFolder()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(env.fake.panels->folderRequests()[0].shortcuts,
              QStringList{QString::fromStdString(macBackupRootFolder().string())});

    // The Backup folder itself holds device folders, not a Manifest.plist.
    fs::create_directories(backupRootFolder() / "SOMEUDID");
    env.fake.panels->answerNext(QString::fromStdString(backupRootFolder().string()));
    wizard.browseForExistingBackup();
    qbtest::drainEvents();
    ASSERT_EQ(env.fake.panels->folderRequests().size(), 2u);
    EXPECT_EQ(env.fake.panels->folderRequests()[1].title,
              "Select iPhone Backup Folder (the folder that contains Manifest.plist)");
    EXPECT_EQ(env.fake.panels->folderRequests()[1].directory.toStdString(), backupRootFolder().string());
    ASSERT_EQ(env.fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(env.fake.alerts->alerts()[0].messageText, "Error");
    EXPECT_TRUE(env.fake.alerts->alerts()[0].informativeText.startsWith(
        "This doesn't appear to be a valid iPhone backup folder."));
    EXPECT_FALSE(wizard.showError());
    EXPECT_FALSE(wizard.isAccessingBackupResource());
    EXPECT_EQ(wizard.currentScreen(), Screen::detectingDevice);

    const fs::path garbage = qbtest::IsolatedHome::root() / "garbage";
    fs::create_directories(garbage);
    std::ofstream(garbage / "Manifest.plist") << "not a property list";
    wizard.handleBackupFolderSelection(garbage);
    qbtest::drainEvents();
    ASSERT_EQ(env.fake.alerts->alerts().size(), 2u);
    EXPECT_EQ(env.fake.alerts->alerts()[1].informativeText,
              "Could not read backup information. Please select a valid backup folder.");

    qbtest::BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("x"));
    const fs::path backup = generator.write(qbtest::IsolatedHome::root() / "chosen");
    wizard.handleBackupFolderSelection(backup);
    EXPECT_EQ(wizard.currentScreen(), Screen::extractMessages);
    // Picked, not made here: announced as such, and no step counter of steps the user skipped. It is a plain
    // backup, so no password is asked for.
    EXPECT_EQ(wizard.findChild<QLabel*>("extractTitle")->text(), "Backup Selected");
    EXPECT_FALSE(wizard.isStepCounterVisible());
    EXPECT_FALSE(wizard.findChild<QLineEdit*>("passwordField")->isVisibleTo(&wizard));
    EXPECT_TRUE(wizard.findChild<QPushButton*>("extractButton")->isEnabled());
    EXPECT_TRUE(wizard.isAccessingBackupResource());

    // Closing the wizard ends the folder access.
    wizard.dismissWizard();
    EXPECT_FALSE(wizard.isAccessingBackupResource());
    EXPECT_FALSE(wizard.isPresented());
}

TEST_F(WizardFlowTest, ExtractNeedsABackupAndAPassword) {
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    auto* extract = wizard.findChild<QPushButton*>("extractButton");
    EXPECT_EQ(wizard.findChild<QLineEdit*>("passwordField")->text(), "");
    EXPECT_FALSE(extract->isEnabled());
    wizard.setBackupPassword("x");
    EXPECT_TRUE(extract->isEnabled());
    wizard.setBackupPassword("");
    EXPECT_FALSE(extract->isEnabled());
    wizard.findChild<QLineEdit*>("passwordField")->setText("typed");
    EXPECT_EQ(wizard.findChild<QLineEdit*>("passwordField")->echoMode(), QLineEdit::Password);
    auto* eye = wizard.findChild<QPushButton*>("eyeButton");
    EXPECT_EQ(eye->property("symbolName").toString(), "eye");
    EXPECT_EQ(eye->accessibleName(), "Show Password");
    eye->click();
    EXPECT_EQ(wizard.findChild<QLineEdit*>("passwordField")->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(eye->property("symbolName").toString(), "eye.slash");
    EXPECT_EQ(eye->accessibleName(), "Hide Password");
    EXPECT_EQ(eye->toolTip(), "Hide Password");

    wizard.setBackupPassword("secret");
    wizard.extractMessagesAction();
    qbtest::drainEvents();
    EXPECT_FALSE(wizard.isExtracting());
    ASSERT_EQ(env.fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(env.fake.alerts->alerts()[0].informativeText,
              "No backup found. Please create a backup with idevicebackup2 first.");
}

TEST_F(WizardFlowTest, FirstScreenSaysWhyNoDeviceCanBeFound) {
    // No tools installed: the line names the missing tool and its package instead of waiting silently.
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    auto* problem = wizard.findChild<QLabel*>("detectionProblem");
    EXPECT_FALSE(problem->isVisibleTo(&wizard));
    EXPECT_EQ(wizard.findChild<QLabel*>("detectionHint")->text(),
              "Make sure your iPhone is connected via USB, unlocked, and trusts this computer");
    wizard.startDeviceDetection();
    EXPECT_TRUE(problem->isVisibleTo(&wizard));
    EXPECT_EQ(problem->text(), "idevice_id was not found. Install the package libimobiledevice-utils.");
    // Readable: the text in the label colour, only the warning sign beside it orange.
    wizard.resize(700, 850);
    wizard.show();
    qbtest::drainEvents();
    const auto orangePixels = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor colour = image.pixelColor(x, y);
                count += colour.red() > 200 && colour.green() > 100 && colour.green() < 190 && colour.blue() < 90;
            }
        }
        return count;
    };
    EXPECT_EQ(orangePixels(problem->grab().toImage()), 0);
    EXPECT_GT(orangePixels(problem->parentWidget()->grab().toImage()), 0) << "the warning sign";
    wizard.hide();

    // Installed, but no usbmuxd to talk to.
    wizardtest::writeTool(tools.folder(), "idevice_id", "echo 'ERROR: Unable to retrieve device list!' >&2; exit 255");
    wizardtest::writeTool(tools.folder(), "ideviceinfo", "exit 0");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return problem->text().startsWith("idevice_id could not"); }));
    EXPECT_TRUE(problem->text().contains("usbmuxd"));
    EXPECT_EQ(wizard.currentScreen(), Screen::detectingDevice);

    // A tool that floods its output is stopped, and is no sign of a missing usbmuxd.
    wizardtest::writeTool(tools.folder(), "idevice_id", "exec /usr/bin/yes");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return problem->text().contains("1 MiB"); }));
    EXPECT_EQ(problem->text().toStdString(),
              "idevice_id could not list devices (idevice_id printed more than 1 MiB and was stopped). Check that " +
                  (tools.folder() / "idevice_id").string() + " is the one of the package libimobiledevice-utils.");

    // Working tools clear the line and find the phone.
    tools.install("PHONE\\n");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::deviceDetected; }));
    EXPECT_EQ(wizard.detectionProblemText(), "");
}

// The orange tips and REQUIRED marks read on the wizard's window, light or dark (text needs 4.5:1), and stay warm.
TEST_F(WizardFlowTest, OrangeTextsReadOnTheWindowInALightAndADarkPalette) {
    const QPalette light = QApplication::palette();
    for (const QPalette& palette : {light, qbtest::darkPalette()}) {
        QApplication::setPalette(palette);
        iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        const QColor window = wizard.palette().color(QPalette::Window);
        int checked = 0;
        for (QLabel* label : wizard.findChildren<QLabel*>()) {
            if (label->objectName() != "tip" && label->objectName() != "requiredMark") {
                continue;
            }
            label->ensurePolished();
            const QColor ink = label->palette().color(label->foregroundRole());
            const double contrast = contrastOver(ink, window, window);
            EXPECT_GE(contrast, readableContrast) << label->text().toStdString() << " in " << ink.name().toStdString()
                                                  << " on " << window.name().toStdString() << ": " << contrast;
            const int hue = ink.toHsv().hsvHue();
            EXPECT_TRUE(hue >= 20 && hue <= 45) << label->text().toStdString() << " hue " << hue;
            ++checked;
        }
        EXPECT_EQ(checked, 4) << "three tips and one REQUIRED mark on the backup settings screen";
    }
    QApplication::setPalette(light);
}

// The step numbers and the title over the step list read 4.5:1 on what the drawn pixels put behind them, light or
// dark: white on the filled badges of the settings screen, blue on the light blue box of the overview.
TEST_F(WizardFlowTest, StepNumbersAndTheirTitleReadOnWhatLiesBehindThem) {
    const auto drawnContrast = [](QWidget& window, QWidget& label) {
        const QImage shot = window.grab(QRect(label.mapTo(&window, QPoint()), label.size())).toImage();
        QHash<QRgb, int> counts;
        for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                ++counts[shot.pixel(x, y) | 0xFF000000u];
            }
        }
        const QColor behind = QColor::fromRgb(std::max_element(counts.cbegin(), counts.cend()).key());
        double best = 1;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
            best = std::max(best, contrastOver(QColor::fromRgb(it.key()), behind, behind));
        }
        return best;
    };
    tools.install("PHONE\\n");
    const QPalette light = QApplication::palette();
    for (const QPalette& palette : {light, qbtest::darkPalette()}) {
        QApplication::setPalette(palette);
        const char* name = palette == light ? " (light)" : " (dark)";
        iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        wizard.show();
        wizard.startDeviceDetection();
        ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::deviceDetected; }));
        for (const auto step : {Screen::backupOverview, Screen::configureBackup}) {
            if (step == Screen::backupOverview) {
                wizard.continueToBackupOverview();
            } else {
                wizard.openBackupFolder();
            }
            qbtest::drainEvents();
            int checked = 0;
            for (QLabel* label : wizard.findChildren<QLabel*>()) {
                if ((label->objectName() == "stepNumber" || label->objectName() == "stepListTitle") &&
                    label->isVisible()) {
                    EXPECT_GE(drawnContrast(wizard, *label), readableContrast)
                        << label->objectName().toStdString() << " " << label->text().toStdString() << name;
                    ++checked;
                }
            }
            EXPECT_GE(checked, 3) << name;
        }
    }
    QApplication::setPalette(light);
}

TEST_F(WizardFlowTest, SheetFitsTheScreenOfItsWindow) {
    QWidget window;
    window.show();
    const QSize available = window.screen()->availableGeometry().size();
    iPhoneBackupWizardView wizard(env.appState, &window, &env.hub);
    EXPECT_EQ(wizard.width(), std::min(700, available.width()));
    EXPECT_LE(wizard.height(), std::min(850, available.height()));
    EXPECT_GE(wizard.height(), std::min(850, available.height()) - 60); // only a title bar's worth is kept free
    EXPECT_LE(wizard.maximumHeight(), available.height());
    wizard.show();
    qbtest::drainEvents();
    // With no phone in reach, the first screen's one action is in sight without scrolling.
    auto* browse = wizard.findChild<QPushButton*>("browseButton");
    auto* viewport = wizard.findChild<QScrollArea*>()->viewport();
    const QRect browseInView(browse->mapTo(viewport, QPoint(0, 0)), browse->size());
    EXPECT_TRUE(viewport->rect().contains(browseInView))
        << "Browse at " << browseInView.y() << ".." << browseInView.bottom() << " in a view " << viewport->height()
        << " high";
    auto* close = wizard.findChild<QPushButton*>("closeButton");
    wizard.showCompleteScreen();
    auto* footerClose = wizard.findChild<QPushButton*>("footerCloseButton");
    qbtest::drainEvents();
    EXPECT_LE(footerClose->mapTo(&wizard, QPoint(0, footerClose->height())).y(), wizard.height());
    EXPECT_GE(close->mapTo(&wizard, QPoint(0, 0)).y(), 0);

    // The title stays on one line; a short screen does not scroll just because a taller one exists.
    auto* title = wizard.findChild<QLabel*>("wizardTitle");
    ASSERT_NE(title, nullptr);
    EXPECT_GE(title->width(), title->fontMetrics().horizontalAdvance(title->text()));

    // The finished screen closes its wizard two seconds later, which a slow run reaches before the end of the
    // checks below: they get a wizard of their own.
    iPhoneBackupWizardView small(env.appState, &window, &env.hub);
    small.show();
    auto* scrollBar = small.findChild<QScrollArea*>()->verticalScrollBar();
    small.resize(700, 480); // as on a small screen
    qbtest::BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("x"));
    small.handleBackupFolderSelection(generator.write(qbtest::IsolatedHome::root() / "chosen"));
    qbtest::drainEvents();
    EXPECT_FALSE(scrollBar->isVisible());
    small.openBackupFolder(); // the long guidance screen does scroll
    small.continueToBackupOverview();
    small.openBackupFolder();
    qbtest::drainEvents();
    EXPECT_EQ(small.currentScreen(), Screen::configureBackup);
    EXPECT_TRUE(scrollBar->isVisible());
}

// At its least height (a small or scaled screen) the save dialog still holds its wrapped explanation, the
// name field and the buttons at their own heights.
TEST(SaveExtractionDialogTest, ItsLeastHeightHoldsEveryControl) {
    SaveExtractionDialog dialog(
        QStringLiteral("iPhone Backup 12/9/26"), [](const QString&) {}, [] {});
    dialog.show();
    dialog.resize(dialog.width(), 1);
    qbtest::drainEvents();
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
        if (control->isVisible() && !control->objectName().startsWith("qt_")) {
            EXPECT_GE(control->height(), control->minimumSizeHint().height())
                << control->metaObject()->className() << " " << control->objectName().toStdString();
        }
    }
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
        }
    }
}

TEST(WizardBinaryTest, NoPasswordIsBuiltIn) {
    // The old default, spelt backwards so that this test's own text does not put it into the binary.
    std::string needle = "?8877nretnaleulB";
    std::reverse(needle.begin(), needle.end());
    const std::string binary = qbtest::readWholeFile("/proc/self/exe");
    ASSERT_GT(binary.size(), 100000u);
    EXPECT_EQ(binary.find(needle), std::string::npos);
}

} // namespace
} // namespace quillobrandt

namespace quillobrandt {
namespace {

TEST(WizardCompleteTest, FinishedScreenShowsCloseAndDismissesItself) {
    wizardtest::WizardEnvironment env;
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    EXPECT_FALSE(wizard.findChild<QPushButton*>("footerCloseButton")->isVisibleTo(&wizard));
    wizard.showCompleteScreen();
    EXPECT_FALSE(wizard.isStepCounterVisible());
    EXPECT_TRUE(wizard.findChild<QPushButton*>("footerCloseButton")->isVisibleTo(&wizard));
    EXPECT_TRUE(wizard.isPresented());
    EXPECT_TRUE(qbtest::processEventsUntil([&] { return !wizard.isPresented(); }, std::chrono::seconds(5)));
}

} // namespace
} // namespace quillobrandt

namespace quillobrandt {
namespace {

TEST(WizardPresentTest, PresentedWizardStartsDetectionAndIsDeletedOnceClosed) {
    wizardtest::WizardEnvironment env;
    wizardtest::FakeTools tools; // no tools installed: detection waits without starting any process
    QWidget window;
    window.show();
    QPointer<iPhoneBackupWizardView> wizard = iPhoneBackupWizardView::present(env.appState, &window, &env.hub);
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_EQ(wizard->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(wizard->deviceManager().isTimerRunning());
    EXPECT_TRUE(wizard->deviceManager().connectedDevices().empty());
    wizard->dismissWizard();
    // Deferred deletes only run from an event loop or when asked for.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(wizard.isNull());
}

TEST(WizardPresentTest, ClosingTheWizardStopsWatchingTheBackup) {
    // A closed wizard used to go on watching, hidden, and finish the backup's hand-over in the background.
    wizardtest::WizardEnvironment env;
    wizardtest::FakeTools tools;
    tools.install("FIRST\\n");
    QWidget window;
    window.show();
    QPointer<iPhoneBackupWizardView> wizard = iPhoneBackupWizardView::present(env.appState, &window, &env.hub);
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard->currentScreen() == Screen::deviceDetected; }));
    wizard->continueToBackupOverview();
    wizard->openBackupFolder();
    wizard->backupStarted();
    ASSERT_TRUE(wizard->isBackupMonitorRunning());

    wizard->dismissWizard();
    EXPECT_FALSE(wizard->isBackupMonitorRunning());
    EXPECT_FALSE(wizard->isDetectingBackup());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(wizard.isNull()) << "kept alive to watch the backup";
    EXPECT_NE(Logger::shared().getAllLogs().rfind("🛑 Stopping backup monitoring"), std::string::npos);
}

} // namespace
} // namespace quillobrandt
