// The wizard's screens in order, folder selection and backup monitoring, headless.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Quillobrandt/wizard/BackupFolders.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "platform/core/Plist.h"
#include "tests/support/BackupGenerator.h"
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
    EXPECT_EQ(wizard.backupPassword(), "Bluelantern7788?");
    EXPECT_FALSE(wizard.isStepCounterVisible());

    wizard.startDeviceDetection();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.currentScreen() == Screen::deviceDetected; }));
    ASSERT_TRUE(wizard.selectedDevice());
    EXPECT_EQ(wizard.selectedDevice()->udid, "FIRST");
    EXPECT_EQ(wizard.findChild<QLabel*>("deviceNameLabel")->text(), "Phone of FIRST");
    EXPECT_FALSE(wizard.isStepCounterVisible());
    EXPECT_FALSE(wizard.isDevicePollRunning());

    wizard.findChild<QPushButton*>("continueButton")->click();
    EXPECT_EQ(wizard.currentScreen(), Screen::backupOverview);
    EXPECT_EQ(wizard.stepCounterText(), "Step 1 of 4");
    EXPECT_TRUE(wizard.isStepCounterVisible());

    wizard.findChild<QPushButton*>("openBackupFolderButton")->click();
    EXPECT_EQ(wizard.currentScreen(), Screen::configureBackup);
    EXPECT_EQ(wizard.stepCounterText(), "Step 2 of 4");
    ASSERT_EQ(env.fake.desktop->revealedFolders.size(), 1u);
    EXPECT_EQ(env.fake.desktop->revealedFolders[0].toStdString(), backupRootFolder().string());
    EXPECT_EQ(fs::status(backupRootFolder()).permissions() & fs::perms::all, fs::perms::owner_all);
    // The commands never carry a password.
    EXPECT_EQ(iPhoneBackupWizardView::encryptionCommand(), "idevicebackup2 -i encryption on");
    EXPECT_TRUE(iPhoneBackupWizardView::backupCommand().contains(QString::fromStdString(backupRootFolder().string())));

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
    EXPECT_EQ(wizard.stepCounterText(), "Step 3 of 4");

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

    env.fake.panels->answerNext(std::nullopt);
    wizard.browseForExistingBackup();
    qbtest::drainEvents();
    EXPECT_EQ(wizard.currentScreen(), Screen::detectingDevice);
    EXPECT_TRUE(env.fake.alerts->alerts().empty());

    // The Backup folder itself holds device folders, not a Manifest.plist.
    fs::create_directories(backupRootFolder() / "SOMEUDID");
    env.fake.panels->answerNext(QString::fromStdString(backupRootFolder().string()));
    wizard.browseForExistingBackup();
    qbtest::drainEvents();
    ASSERT_EQ(env.fake.panels->folderRequests().size(), 2u);
    EXPECT_EQ(env.fake.panels->folderRequests()[1].title, "Select iPhone Backup Folder");
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
    EXPECT_EQ(wizard.stepCounterText(), "Step 1 of 4");
    EXPECT_TRUE(wizard.isAccessingBackupResource());

    // Closing the wizard ends the folder access.
    wizard.dismissWizard();
    EXPECT_FALSE(wizard.isAccessingBackupResource());
    EXPECT_FALSE(wizard.isPresented());
}

TEST_F(WizardFlowTest, ExtractNeedsABackupAndAPassword) {
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    auto* extract = wizard.findChild<QPushButton*>("extractButton");
    EXPECT_TRUE(extract->isEnabled());
    wizard.setBackupPassword("");
    EXPECT_FALSE(extract->isEnabled());
    wizard.findChild<QLineEdit*>("passwordField")->setText("typed");
    EXPECT_EQ(wizard.findChild<QLineEdit*>("passwordField")->echoMode(), QLineEdit::Password);
    wizard.findChild<QPushButton*>("eyeButton")->click();
    EXPECT_EQ(wizard.findChild<QLineEdit*>("passwordField")->echoMode(), QLineEdit::Normal);

    wizard.setBackupPassword("secret");
    wizard.extractMessagesAction();
    qbtest::drainEvents();
    EXPECT_FALSE(wizard.isExtracting());
    ASSERT_EQ(env.fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(env.fake.alerts->alerts()[0].informativeText, "No backup found. Please create a backup in Finder first.");
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

} // namespace
} // namespace quillobrandt
