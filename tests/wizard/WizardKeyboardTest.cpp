// The wizard under the keyboard: Return runs the shown screen's main action and never closes the wizard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "Quillobrandt/wizard/BackupFolders.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/support/qt/FocusVisibility.h"
#include "tests/wizard/WizardTestSupport.h"

namespace quillobrandt {
namespace {

namespace fs = std::filesystem;
using Screen = BackupWizardScreen;

// An encrypted backup of the device `udid` in its usual place, finished, holding a Messages database.
fs::path writeFinishedBackup(const std::string& udid, const std::string& password) {
    qbtest::BackupGenerator::Options options;
    options.encrypted = true;
    options.password = password;
    qbtest::BackupGenerator generator(options);
    generator.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(wizardtest::oneMessageDatabase("hello")));
    return generator.write(deviceBackupFolder(udid));
}

class WizardKeyboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.show();
        wizard = iPhoneBackupWizardView::present(env.appState, &window, &env.hub);
        ASSERT_TRUE(QTest::qWaitForWindowActive(wizard.data()));
    }
    void TearDown() override {
        if (wizard) {
            wizard->dismissWizard();
        }
        iPhoneBackupWizardView::waitForExtractionWorkers();
        qbtest::drainEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Presses Return where the keyboard focus is, as a user would.
    void pressReturn(QWidget* target = nullptr) {
        if (target != nullptr) {
            target->setFocus(Qt::TabFocusReason);
        }
        QWidget* focused = QApplication::focusWidget();
        QTest::keyClick(focused != nullptr ? focused : wizard.data(), Qt::Key_Return);
        qbtest::drainEvents();
    }

    QPushButton* button(const char* name) const { return wizard->findChild<QPushButton*>(name); }

    wizardtest::WizardEnvironment env;
    wizardtest::FakeTools tools;
    QWidget window;
    QPointer<iPhoneBackupWizardView> wizard;
};

TEST_F(WizardKeyboardTest, ReturnRunsTheShownScreensMainActionAndNeverClosesTheWizard) {
    // Nothing to run while waiting for a device: Return does nothing, also on the header's Close button.
    pressReturn();
    pressReturn(button("closeButton"));
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isPresented());
    EXPECT_EQ(wizard->currentScreen(), Screen::detectingDevice);

    tools.install("PHONE\\n");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard->currentScreen() == Screen::deviceDetected; }));
    pressReturn(button("closeButton"));
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isPresented());
    EXPECT_EQ(wizard->currentScreen(), Screen::backupOverview) << "Continue";
    pressReturn();
    EXPECT_EQ(wizard->currentScreen(), Screen::configureBackup) << "Open Backup Folder";
    pressReturn(wizard->findChild<QWidget*>("pairCommand")->findChild<QLineEdit*>("command"));
    EXPECT_EQ(wizard->currentScreen(), Screen::monitoringBackup) << "I've Started the Backup";
    pressReturn(button("closeButton"));
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isPresented());
    EXPECT_EQ(wizard->currentScreen(), Screen::monitoringBackup);

    // The finished backup asks for its password, with the keyboard already in the field.
    writeFinishedBackup("PHONE", "open sesame");
    wizard->checkBackupStatus();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard->currentScreen() == Screen::extractMessages; }));
    auto* field = wizard->findChild<QLineEdit*>("passwordField");
    EXPECT_EQ(QApplication::focusWidget(), field);
    pressReturn(); // no password yet: Extract is disabled
    EXPECT_FALSE(wizard->isExtracting());
    pressReturn(button("eyeButton"));
    EXPECT_FALSE(wizard->isExtracting());
    EXPECT_FALSE(wizard->showPassword()) << "Return is not a click on the eye";
    QTest::keyClicks(field, "open sesame");
    pressReturn(field);
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isPresented());
    EXPECT_TRUE(wizard->isExtracting()) << "Return in the password field starts the extraction";
    EXPECT_EQ(wizard->currentStepNumber(), 4);
    ASSERT_TRUE(wizard->waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard->saveDialog() != nullptr; }));
    EXPECT_EQ(env.appState.conversations().size(), 1u);
    EXPECT_TRUE(env.fake.alerts->alerts().empty());
    wizard->saveDialog()->close();
}

TEST_F(WizardKeyboardTest, ReturnOnTheFinishedScreenLeavesClosingToItsButtons) {
    wizard->showCompleteScreen();
    pressReturn(button("footerCloseButton"));
    pressReturn(button("closeButton"));
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isPresented());
    for (const char* name : {"closeButton", "footerCloseButton", "eyeButton"}) {
        EXPECT_FALSE(button(name)->isDefault()) << name;
        EXPECT_FALSE(button(name)->autoDefault()) << name;
    }
}

// The shown screen's main button is always drawn as the default, so the default look cannot also say where the
// keyboard is: its focus shows on top, in a light and a dark palette.
TEST_F(WizardKeyboardTest, TheFocusShowsOnTheMainButtonDrawnAsTheDefault) {
    tools.install("PHONE\\n");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard->currentScreen() == Screen::deviceDetected; }));
    QPushButton* next = button("continueButton");
    ASSERT_NE(next, nullptr);
    ASSERT_TRUE(next->isDefault());
    const QPalette light = wizard->palette();
    for (const bool dark : {false, true}) {
        wizard->setPalette(dark ? qbtest::darkPalette() : light);
        EXPECT_GE(qbtest::focusVisibility(*next), 3.0) << (dark ? "dark" : "light");
    }
}

// Each screen comes up with the keyboard on its own control, never on the header's close button (where Space,
// pressed before the user sees any focus, closed the wizard), and every Tab stop shows, in both palettes.
TEST_F(WizardKeyboardTest, EachScreenStartsOnItsOwnControlAndEveryStopShowsTheFocus) {
    const QPalette light = QApplication::palette();
    const auto check = [&](const char* expectedFocus, const char* screen) {
        QWidget* focused = QApplication::focusWidget();
        EXPECT_EQ(focused != nullptr ? focused->objectName().toStdString() : "(none)", expectedFocus) << screen;
        for (const bool dark : {false, true}) {
            QApplication::setPalette(dark ? qbtest::darkPalette() : light);
            EXPECT_EQ(qbtest::unseenTabStops(*wizard), "") << screen << (dark ? " (dark)" : " (light)");
        }
        QApplication::setPalette(light);
    };
    check("browseButton", "detecting");
    tools.install("PHONE\\n");
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard->currentScreen() == Screen::deviceDetected; }));
    check("continueButton", "device detected");
    pressReturn();
    ASSERT_EQ(wizard->currentScreen(), Screen::backupOverview);
    check("openBackupFolderButton", "backup overview");
}

} // namespace
} // namespace quillobrandt
