#include "Quillobrandt/app/AppDelegate.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <filesystem>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/PreferencesView.h"
#include "Quillobrandt/app/ScreenFit.h"
#include "Quillobrandt/app/UpdateChecking.h"
#include "platform/core/BundleInfo.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/FocusVisibility.h"
#include <QCheckBox>
#include <QSignalSpy>

namespace {

using quillobrandt::AppDelegate;

QAction* findItem(QWidget* window, const QString& text) {
    for (QAction* action : window->findChildren<QAction*>()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

class FakeUpdater final : public quillobrandt::UpdaterBackend {
public:
    void startUpdater() override { ++starts; }
    void observeCanCheckForUpdates(std::function<void(bool)> observer) override {
        observer_ = std::move(observer);
        observer_(canCheck);
    }
    void checkForUpdates() override { ++checks; }
    void report(bool value) {
        canCheck = value;
        observer_(value);
    }
    bool canCheck = false;
    int starts = 0;
    int checks = 0;

private:
    std::function<void(bool)> observer_;
};

class AppDelegateTest : public qbtest::ShellTest {
protected:
    std::unique_ptr<AppDelegate> launch(std::shared_ptr<quillobrandt::UpdaterBackend> updater = nullptr) {
        auto delegate = std::make_unique<AppDelegate>([](QWidget* parent) { return new QWidget(parent); }, &hub,
                                                      &analytics, std::move(updater));
        delegate->applicationDidFinishLaunching();
        return delegate;
    }
};

TEST_F(AppDelegateTest, LaunchWithoutSdkKeysOpensTheMainWindowAndInitialisesNothing) {
    auto delegate = launch();
    EXPECT_FALSE(corvantesk::Corvantesk::isInitialized());
    ASSERT_NE(delegate->window(), nullptr);
    EXPECT_TRUE(delegate->window()->isVisible());
    EXPECT_EQ(delegate->window()->windowTitle(), QStringLiteral("Quillobrandt"));
    EXPECT_EQ(delegate->window()->contentSize(), QSize(550, 450));
    EXPECT_TRUE(delegate->window()->centralWidget()->isAncestorOf(delegate->contentSwitcher()));
    EXPECT_TRUE(delegate->appState().showSplash());
}

TEST_F(AppDelegateTest, LaunchOptionsAreTheSdkDefaultsWithoutHeartbeats) {
    const auto options = quillobrandt::makeLaunchSdkOptions("app", "key");
    auto expected = corvantesk::CorvanteskOptions{};
    expected.appId = "app";
    expected.apiKey = "key";
    expected.baseUrl = platform::bundleTelemetryBaseUrl();
    expected.health.enableHeartbeat = false;
    EXPECT_EQ(options, expected);
}

TEST_F(AppDelegateTest, MenusCarryTheCommandsAndShortcuts) {
    auto delegate = launch();
    QWidget* window = delegate->window();
    const std::vector<std::pair<QString, QString>> items{
        {"Reload Mac Messages", "Ctrl+R"},    {"Load iPhone Backup...", "Ctrl+Shift+I"},
        {"Open Database...", "Ctrl+O"},       {"Open Database with Attachments...", ""},
        {"Preferences...", "Ctrl+,"},         {"Quit", "Ctrl+Q"},
        {"Send Feedback...", "Ctrl+Shift+F"}, {"Email Logs to Support", "Ctrl+Shift+L"},
        {"About Quillobrandt", ""},
    };
    for (const auto& [text, shortcut] : items) {
        QAction* item = findItem(window, text);
        ASSERT_NE(item, nullptr) << text.toStdString();
        EXPECT_EQ(item->shortcut(), QKeySequence(shortcut)) << text.toStdString();
        EXPECT_TRUE(item->isEnabled()) << text.toStdString();
    }
    EXPECT_EQ(findItem(window, QStringLiteral("Check for Updates…")), nullptr) << "no updater on Linux";
}

TEST_F(AppDelegateTest, UpdateItemFollowsTheUpdater) {
    auto updater = std::make_shared<FakeUpdater>();
    auto delegate = launch(updater);
    QAction* item = findItem(delegate->window(), QStringLiteral("Check for Updates…"));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(updater->starts, 1);
    EXPECT_FALSE(item->isEnabled());
    updater->report(true);
    EXPECT_TRUE(item->isEnabled());
    item->trigger();
    EXPECT_EQ(updater->checks, 1);
    updater->report(false);
    EXPECT_FALSE(item->isEnabled());
}

TEST_F(AppDelegateTest, ResizeWindowChangesTheContentSizeAndKeepsTheTopLeftCorner) {
    auto delegate = launch();
    auto* window = delegate->window();
    const QRect screen = window->screen()->availableGeometry();
    window->move(screen.left() + 40, screen.top() + 10);
    const QPoint before = window->pos();
    hub.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(300, 200)));
    EXPECT_EQ(window->contentSize(), QSize(300, 200));
    EXPECT_EQ(window->pos(), before);
    window->move(screen.left() + 40, screen.bottom() - 150);
    hub.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(400, 260)));
    EXPECT_EQ(window->pos().x(), screen.left() + 40);
    EXPECT_LE(window->frameGeometry().bottom(), screen.bottom()) << "a grown window is lifted to stay on screen";
    window->move(screen.left() + 40, screen.top() + 60);
    hub.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(810, screen.height() * 2)));
    EXPECT_GE(window->pos().y(), screen.top()) << "a window taller than the screen keeps its title bar on screen";
    EXPECT_LE(window->frameGeometry().bottom(), screen.bottom()) << "and is never made taller than the screen";
    // The test screen is smaller than the list's designed 810 by 690: the window gets what fits, whole, on the
    // screen. What it shows (the splash) fits in that and never scrolls: no room is added for a scroll bar.
    hub.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(810, 690)));
    const int menu = window->menuWidget()->sizeHint().height();
    const QSize fits =
        quillobrandt::fitContentToScreen(QSize(810, 690), QSize(0, menu), quillobrandt::frameExtent(*window), screen);
    EXPECT_EQ(window->contentSize(), fits);
    EXPECT_TRUE(screen.contains(window->frameGeometry()))
        << window->frameGeometry().x() << "," << window->frameGeometry().y();
    EXPECT_FALSE(window->minimumSize() != window->maximumSize()) << "the user does not resize it";

    hub.post(platform::notification::resizeWindow, {{platform::notification::sizeKey, 42}});
    hub.post(platform::notification::resizeWindow, {});
    for (const QSizeF bad : {QSizeF(0, 0), QSizeF(-5, 300), QSizeF(300, 0), QSizeF(qQNaN(), 200)}) {
        hub.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(bad));
    }
    hub.post(platform::notification::resizeWindow, {{platform::notification::sizeKey, QSize(0, 0)}});
    EXPECT_EQ(window->contentSize(), fits) << "a window of no size is never made";
}

TEST_F(AppDelegateTest, PreferencesOpenOnceAndANewWindowAfterClosing) {
    auto delegate = launch();
    delegate->showPreferences();
    QWidget* first = delegate->preferencesWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->windowTitle(), QStringLiteral("Preferences"));
    EXPECT_EQ(first->size(), QSize(500, 350));
    delegate->showPreferences();
    EXPECT_EQ(delegate->preferencesWindow(), first);

    first->close();
    EXPECT_EQ(delegate->preferencesWindow(), nullptr);
    flushDeletes();
    delegate->showPreferences();
    EXPECT_NE(delegate->preferencesWindow(), nullptr);
}

TEST_F(AppDelegateTest, EscapeClosesPreferencesAndAbout) {
    auto delegate = launch();
    const auto pressEscape = [](QWidget* window) {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        QTest::keyClick(QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : window, Qt::Key_Escape);
    };
    delegate->showPreferences();
    pressEscape(delegate->preferencesWindow());
    EXPECT_EQ(delegate->preferencesWindow(), nullptr);
    delegate->showAbout();
    pressEscape(delegate->aboutWindow());
    EXPECT_EQ(delegate->aboutWindow(), nullptr);
    flushDeletes();
}

// Closed with Escape or its title bar's button, a small window gives the keyboard back to the main window: its
// menu shortcuts answer without a click.
TEST_F(AppDelegateTest, MenuShortcutsWorkAgainAfterASmallWindowCloses) {
    auto delegate = launch();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->window()));
    const auto pressCtrlO = [&] {
        QWidget* active = QApplication::activeWindow();
        QWidget* target = QApplication::focusWidget() != nullptr ? QApplication::focusWidget()
                          : active != nullptr                    ? active
                                                                 : delegate->window();
        QTest::keyClick(target, Qt::Key_O, Qt::ControlModifier);
    };
    delegate->showPreferences();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->preferencesWindow()));
    QTest::keyClick(delegate->preferencesWindow(), Qt::Key_Escape);
    ASSERT_EQ(delegate->preferencesWindow(), nullptr);
    QTest::qWait(50);
    pressCtrlO();
    EXPECT_EQ(fake.panels->openRequests().size(), 1U) << "after Escape";
    delegate->showAbout();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->aboutWindow()));
    delegate->aboutWindow()->close();
    QTest::qWait(50);
    pressCtrlO();
    EXPECT_EQ(fake.panels->openRequests().size(), 2U) << "after the window's close";
    flushDeletes();
}

// Quit answers in every window of the program, not only the main one: over a sheet of the main window (the
// conversation, the wizard) and in a small window, Ctrl+Q closes them all, the sheet first.
TEST_F(AppDelegateTest, QuitAnswersOverASheetAndInASmallWindow) {
    for (const bool sheet : {true, false}) {
        auto delegate = launch();
        ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->window()));
        QPointer<QWidget> front;
        if (sheet) {
            auto* dialog = new QDialog(delegate->window());
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            dialog->setWindowModality(Qt::WindowModal);
            dialog->open();
            front = dialog;
        } else {
            delegate->showPreferences();
            front = delegate->preferencesWindow();
        }
        front->activateWindow(); // as the desktop activates a window the program opens
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == front.data(); }));
        QTest::keyClick(front.data(), Qt::Key_Q, Qt::ControlModifier);
        flushDeletes();
        EXPECT_TRUE(front.isNull() || !front->isVisible()) << (sheet ? "the sheet" : "Preferences");
        EXPECT_FALSE(delegate->window()->isVisible()) << (sheet ? "over a sheet" : "in Preferences");
    }
}

TEST(ScreenFit, DesignedSizesAreBoundedByScaledLaptopScreens) {
    using quillobrandt::fitContentToScreen;
    using quillobrandt::keepFrameOnScreen;
    const QSize menu(0, 24);
    const QSize frame(0, 40);
    // 1366 by 768 at scale 1, 1.5 and 2, as the application sees it (logical pixels).
    const QRect scale1(0, 0, 1366, 768);
    const QRect scale15(0, 0, 910, 512);
    const QRect scale2(0, 0, 683, 384);
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale1), QSize(810, 690));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale15), QSize(810, 448));
    EXPECT_EQ(fitContentToScreen(QSize(550, 450), menu, frame, scale2), QSize(550, 320));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale2), QSize(683, 320));
    // A window without bars (a sheet, a small window): an unset size is none, not minus one pixel each way.
    EXPECT_EQ(fitContentToScreen(QSize(875, 750), QSize(), frame, scale2), QSize(683, 344));
    EXPECT_EQ(fitContentToScreen(QSize(875, 750), QSize(), QSize(), scale2), QSize(683, 384));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, QRect()), QSize(810, 690)) << "no screen known";
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, QRect(0, 0, 10, 10)), QSize(10, 1));
    // Content that scrolls down gets its scroll bar's width on top, where the screen has it.
    EXPECT_EQ(fitContentToScreen(QSize(550, 450), menu, frame, scale2, 16), QSize(566, 320));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale2, 16), QSize(683, 320));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale1, 16), QSize(810, 690));
    // Content that shrinks to fit scrolls only past its least size: no room for a bar that never shows.
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale15, 16, QSize(480, 300)), QSize(810, 448));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale15, 16, QSize(480, 500)), QSize(826, 448));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, scale2, 16, QSize(700, 300)), QSize(683, 320));
    EXPECT_EQ(fitContentToScreen(QSize(810, 690), menu, frame, QRect(0, 0, 700, 768), 16, QSize(690, 300)),
              QSize(700, 690))
        << "scrolls across, so gets the bar's height where the screen has it";

    // A frame centred on a screen smaller than itself keeps its title bar in the free area.
    QRect tall(0, 0, 600, 500);
    tall.moveCenter(scale2.center());
    EXPECT_EQ(keepFrameOnScreen(tall, scale2).top(), 0);
    EXPECT_GE(keepFrameOnScreen(tall, scale2).left(), 0);
    // One that fits is moved only as far as needed, also past a panel at the top.
    const QRect belowPanel(0, 32, 1366, 736);
    EXPECT_EQ(keepFrameOnScreen(QRect(100, 600, 550, 490), belowPanel), QRect(100, 278, 550, 490));
    EXPECT_EQ(keepFrameOnScreen(QRect(100, 0, 550, 490), belowPanel), QRect(100, 32, 550, 490));
    EXPECT_EQ(keepFrameOnScreen(QRect(100, 100, 550, 490), belowPanel), QRect(100, 100, 550, 490));
}

TEST_F(AppDelegateTest, SmallWindowsFitTheScreenAndStayOnIt) {
    auto delegate = launch();
    delegate->showAbout();
    QWidget* about = delegate->aboutWindow();
    const QRect screen = about->screen()->availableGeometry();
    EXPECT_LE(about->height() + quillobrandt::kFrameAllowance.height(), screen.height());
    EXPECT_TRUE(screen.contains(about->frameGeometry().topLeft()));
}

// Tab shows where it is at every stop of every window the shell opens, in a light and a dark palette: the scroll
// area that lets a window's content scroll on a small screen is no stop of its own, and a button drawn as the
// default still shows when the keyboard is on it.
TEST_F(AppDelegateTest, EveryTabStopOfTheShellsWindowsShowsTheFocus) {
    auto delegate = launch();
    delegate->appState().setShowSplash(false);
    delegate->appState().setShowContactsRequest(true); // the first start's question: real controls to walk
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? qbtest::darkPalette() : light);
        const char* palette = dark ? " (dark)" : " (light)";
        delegate->window()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->window()));
        EXPECT_EQ(qbtest::unseenTabStops(*delegate->window()), "") << "main window" << palette;
        delegate->showPreferences();
        delegate->showAbout();
        delegate->showFeedbackWindow();
        for (QWidget* window : {delegate->preferencesWindow(), delegate->aboutWindow(), delegate->feedbackWindow()}) {
            window->activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(window));
            if (window == delegate->feedbackWindow()) {
                QTest::keyClicks(window->findChild<QPlainTextEdit*>(), "Thanks"); // Send is reached once there is text
            }
            EXPECT_EQ(qbtest::unseenTabStops(*window), "") << window->windowTitle().toStdString() << palette;
            window->close();
        }
        flushDeletes();
    }
    QApplication::setPalette(light);
}

TEST_F(AppDelegateTest, ClosingFeedbackForgetsOnlyFeedback) {
    auto delegate = launch();
    delegate->showPreferences();
    delegate->showFeedbackWindow();
    delegate->showAbout();
    EXPECT_EQ(delegate->feedbackWindow()->windowTitle(), QStringLiteral("Send Feedback"));
    EXPECT_EQ(delegate->feedbackWindow()->size(), QSize(450, 480));
    EXPECT_EQ(delegate->aboutWindow()->windowTitle(), QStringLiteral("About Quillobrandt"));
    EXPECT_EQ(delegate->aboutWindow()->size(), QSize(320, 420));
    delegate->feedbackWindow()->close();
    EXPECT_EQ(delegate->feedbackWindow(), nullptr);
    EXPECT_NE(delegate->preferencesWindow(), nullptr);
    EXPECT_NE(delegate->aboutWindow(), nullptr);
}

TEST_F(AppDelegateTest, ShowFeedbackNotificationOpensTheFeedbackWindow) {
    auto delegate = launch();
    hub.post(platform::notification::showFeedback);
    ASSERT_NE(delegate->feedbackWindow(), nullptr);
    EXPECT_TRUE(delegate->feedbackWindow()->isVisible());
    // The window opens with the keyboard in the message, as the window the menu opens holds it.
    delegate->feedbackWindow()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->feedbackWindow()));
    auto* message = delegate->feedbackWindow()->findChild<QPlainTextEdit*>();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(QApplication::focusWidget(), message);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("First words"));
    EXPECT_EQ(message->toPlainText(), QStringLiteral("First words"));
}

TEST_F(AppDelegateTest, PreferencesThemeStaysInTheStateAndDoneClosesTheWindow) {
    auto delegate = launch();
    delegate->showPreferences();
    auto* view = delegate->preferencesWindow()->findChild<quillobrandt::PreferencesView*>();
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(view->themeButtons().size(), 2U);
    EXPECT_TRUE(view->themeButtons()[0]->isChecked());
    EXPECT_EQ(view->themeButtons()[1]->text(), QStringLiteral("Professional (Blue/Gray)"));
    view->themeButtons()[1]->click();
    EXPECT_EQ(delegate->appState().appTheme(), quillobrandt::AppTheme::professional);
    view->doneButton()->click();
    EXPECT_EQ(delegate->preferencesWindow(), nullptr);
    EXPECT_EQ(delegate->appState().appTheme(), quillobrandt::AppTheme::professional);
    flushDeletes();

    delegate->showPreferences();
    auto* reopened = delegate->preferencesWindow()->findChild<quillobrandt::PreferencesView*>();
    ASSERT_NE(reopened, nullptr);
    EXPECT_TRUE(reopened->themeButtons()[1]->isChecked());
}

TEST_F(AppDelegateTest, PreferencesCheckBoxChangesTheContactsAnswerLater) {
    fake.contacts->setStatus(platform::ContactAuthorizationStatus::denied); // "Don't Allow" on the first prompt
    auto delegate = launch();
    ASSERT_FALSE(delegate->appState().hasContactsAccess());
    delegate->showPreferences();
    auto* view = delegate->preferencesWindow()->findChild<quillobrandt::PreferencesView*>();
    ASSERT_NE(view, nullptr);
    QCheckBox* box = view->contactsCheckBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("Show contact names from the address book"));
    EXPECT_FALSE(box->isChecked());
    QSignalSpy resets(&delegate->appState(), &quillobrandt::AppState::contactCacheReset);

    box->click();
    EXPECT_EQ(fake.contacts->authorizationStatus(), platform::ContactAuthorizationStatus::authorized);
    EXPECT_TRUE(delegate->appState().hasContactsAccess());
    EXPECT_EQ(resets.count(), 1);

    box->click();
    EXPECT_EQ(fake.contacts->authorizationStatus(), platform::ContactAuthorizationStatus::denied);
    EXPECT_FALSE(delegate->appState().hasContactsAccess());
    EXPECT_EQ(resets.count(), 2);

    // An answer given elsewhere (the Contacts screen) shows in the box.
    delegate->appState().setHasContactsAccess(true);
    fake.contacts->setStatus(platform::ContactAuthorizationStatus::authorized);
    delegate->appState().setHasContactsAccess(false);
    delegate->appState().setHasContactsAccess(true);
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(resets.count(), 2) << "showing the answer changes nothing";
}

TEST_F(AppDelegateTest, ReloadFromTheMenuTellsWhereTheMissingDatabaseWasLookedFor) {
    auto delegate = launch();
    findItem(delegate->window(), QStringLiteral("Reload Mac Messages"))->trigger();
    delegate->appState().waitForBackgroundLoads();
    QCoreApplication::processEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 1U);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, QStringLiteral("Failed to Load Database"));
    EXPECT_TRUE(fake.alerts->alerts()[0].informativeText.contains(
        QString::fromStdString((platform::homeDir() / "Library/Messages/chat.db").string())));
    EXPECT_TRUE(delegate->appState().conversations().empty());
}

TEST_F(AppDelegateTest, LoadIPhoneBackupOnlyAsksForTheWizard) {
    auto delegate = launch();
    recorder.clear();
    delegate->loadIPhoneBackup();
    EXPECT_EQ(recorder.names(), QStringList{platform::notification::showBackupWizard});
}

TEST_F(AppDelegateTest, OpenDatabaseStartsInTheMessagesFolderAndCancelChangesNothing) {
    std::filesystem::create_directories(platform::homeDir() / "Library" / "Messages");
    auto delegate = launch();
    recorder.clear();
    delegate->openDatabase();
    ASSERT_EQ(fake.panels->openRequests().size(), 1U);
    const auto& request = fake.panels->openRequests()[0];
    EXPECT_EQ(request.title, QStringLiteral("Select a Messages database file (chat.db or sms.db)"));
    EXPECT_EQ(request.acceptLabel, QStringLiteral("Open"));
    EXPECT_EQ(request.directory, QString::fromStdString((platform::homeDir() / "Library" / "Messages").string()));
    EXPECT_TRUE(recorder.names().isEmpty());
}

TEST_F(AppDelegateTest, SkippingTheAttachmentFolderStillLoadsTheDatabase) {
    const auto database = platform::homeDir() / "picked" / "chat.db";
    auto delegate = launch();
    fake.panels->answerNext(QString::fromStdString(database.string()));
    recorder.clear();
    delegate->openDatabaseWithAttachments();
    ASSERT_EQ(fake.panels->folderRequests().size(), 1U);
    const auto& folder = fake.panels->folderRequests()[0];
    EXPECT_EQ(folder.title, QStringLiteral("Step 2: Select the folder containing attachments\n(Original backup folder "
                                           "or extracted_sms folder)"));
    EXPECT_EQ(folder.directory, QString::fromStdString(database.parent_path().string()));
    EXPECT_EQ(folder.acceptLabel, QStringLiteral("Choose Folder"));
    delegate->appState().waitForBackgroundLoads();
    QCoreApplication::processEvents();
    EXPECT_TRUE(recorder.names().contains(platform::notification::databaseLoadingStarted)) << "the load still starts";
}

} // namespace
