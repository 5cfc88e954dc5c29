// Opens every window, sheet and screen in its designed states, writes a PNG of each into the build folder's
// gallery/ and checks each capture for what a person would see as broken (see GalleryChecks.h).

#include <QApplication>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "Quillobrandt/app/AboutView.h"
#include "Quillobrandt/app/AppDelegate.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/ContactsRequestView.h"
#include "Quillobrandt/app/ControlStyle.h"
#include "Quillobrandt/app/FeedbackView.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/PermissionRequestView.h"
#include "Quillobrandt/app/PreferencesView.h"
#include "Quillobrandt/app/SplashScreenView.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/ParticipantLabelsView.h"
#include "Quillobrandt/conversation/export/PDFSettingsView.h"
#include "Quillobrandt/conversation/export/PdfExportJobs.h"
#include "Quillobrandt/main/LoadingOverlay.h"
#include "Quillobrandt/main/MainView.h"
#include "Quillobrandt/main/MainViewState.h"
#include "Quillobrandt/wizard/SaveExtractionDialog.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "tests/app/RecordingHttpSender.h"
#include "tests/conversation/ConversationTestSupport.h"
#include "tests/gallery/GalleryChecks.h"
#include "tests/gallery/KnownFaults.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/support/qt/FocusVisibility.h"
#include "tests/wizard/WizardTestSupport.h"

namespace fs = std::filesystem;

namespace {

using quillobrandt::Conversation;
using quillobrandt::Message;

class Gallery : public ::testing::Test {
protected:
    ~Gallery() override {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            widget->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Shows the window (at its own fixed size, else `size`), captures it and checks what the capture shows.
    void capture(QWidget& window, const QString& name, QSize size = {}) {
        if (size.isValid() && window.minimumSize() != window.maximumSize()) {
            window.resize(size);
        }
        window.show();
        settle();
        report(window, name);
    }

    // Captures the window as it is now and checks the capture.
    void report(QWidget& window, const QString& name) {
        // A scaled offscreen screen reads back only part of a window: there the window draws itself.
        const QImage picture =
            window.devicePixelRatioF() != 1.0 ? window.grab().toImage() : gallery::captureOnScreen(window);
        const QString png = gallery::writeCapture(picture, name);
        std::set<gallery::Fault> seen;
        QStringList unexpected;
        const auto& known = gallery::knownFaults();
        const auto tolerated = known.find(name);
        for (const gallery::Finding& finding : gallery::inspect(window, picture)) {
            seen.insert(finding.fault);
            const QString line =
                QString::fromStdString(gallery::faultName(finding.fault)) + QStringLiteral(": ") + finding.detail;
            if (tolerated != known.end() && tolerated->second.faults.count(finding.fault) != 0) {
                std::cout << "[ known    ] " << name.toStdString() << " " << line.toStdString() << " ("
                          << tolerated->second.reason << ")\n";
            } else {
                unexpected << line;
            }
        }
        if (tolerated != known.end()) {
            for (gallery::Fault fault : tolerated->second.faults) {
                if (seen.count(fault) == 0) {
                    std::cout << "[ mended   ] " << name.toStdString() << " no longer shows "
                              << gallery::faultName(fault) << ": drop it from the known faults\n";
                }
            }
        }
        EXPECT_TRUE(unexpected.isEmpty()) << name.toStdString() << " (" << png.toStdString() << "):\n  "
                                          << unexpected.join(QStringLiteral("\n  ")).toStdString();
    }

    static void settle() {
        qbtest::drainEvents();
        QTest::qWait(30);
        qbtest::drainEvents();
    }

    platform::FakePlatform fake;
    platform::NotificationHub hub;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<qbtest::RecordingHttpSender>(), defaults};
    quillobrandt::AppState state{&hub, &analytics};
};

// A conversation of `count` messages a minute apart, with emoji, a long line and every kind of attachment row.
Conversation sampleConversation(int count, std::vector<std::string> participants = {"+15551234567"}) {
    Conversation conversation;
    conversation.id = "7";
    conversation.participants = participants;
    const QDateTime first(QDate(2024, 3, 1), QTime(8, 0), Qt::LocalTime);
    const char* const texts[] = {
        "Are we still on for dinner tonight? \xF0\x9F\x8D\x9D",
        "Yes! 7 pm at the usual place \xF0\x9F\x98\x8A\xF0\x9F\x91\x8D",
        "Running ten minutes late, the train stopped between two stations and nobody knows for how long. "
        "Order the starters without me.",
        "\xE2\x9D\xA4\xEF\xB8\x8F\xF0\x9F\x8E\x89\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91"
        "\xA7",
        "ok",
    };
    for (int i = 0; i < count; ++i) {
        const QDateTime at = first.addSecs(3600LL * 7 * i);
        const std::string sender = participants[static_cast<std::size_t>(i) % participants.size()];
        Message message = qbtest::makeMessage(at.date(), at.time(), std::string(texts[i % 5]), i % 3 == 1, sender);
        message.id = i + 1;
        conversation.messages.push_back(message);
    }
    conversation.messageCount = count;
    return conversation;
}

void addAttachments(Conversation& conversation) {
    Message& picture = conversation.messages.at(conversation.messages.size() - 2);
    picture.text = std::string("\xEF\xBF\xBC");
    picture.attachments.push_back({1, "IMG_0001.HEIC", std::string("image/heic"), "/nowhere/IMG_0001.HEIC"});
    Message& file = conversation.messages.back();
    file.attachments.push_back({2, "Itinerary.pdf", std::string("application/pdf"), "/nowhere/Itinerary.pdf"});
}

TEST_F(Gallery, LaunchScreens) {
    quillobrandt::SplashScreenView firstFrame(state, nullptr, std::chrono::hours(1));
    capture(firstFrame, QStringLiteral("splash-first-frame"));
    quillobrandt::SplashScreenView splash(state, nullptr, std::chrono::hours(1));
    splash.show();
    QTest::qWait(static_cast<int>(quillobrandt::SplashScreenView::fadeDuration.count()) + 100);
    capture(splash, QStringLiteral("splash"));

    quillobrandt::PermissionRequestView access(state);
    capture(access, QStringLiteral("full-disk-access"));
    access.setShowDetails(true);
    capture(access, QStringLiteral("full-disk-access-details"));

    quillobrandt::ContactsRequestView contacts(state);
    capture(contacts, QStringLiteral("contacts-request"));
}

TEST_F(Gallery, MainWindow) {
    quillobrandt::MainView view(&state);
    view.setAnalyticsManager(&analytics);
    capture(view, QStringLiteral("start-screen"));

    const fs::path database = qbtest::copySharedTestData("ios-sms.db");
    view.loadDatabase(database);
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view.loadingState().isLoading; }));
    capture(view, QStringLiteral("conversation-list"));
    view.setSearchText(QStringLiteral("+1"));
    capture(view, QStringLiteral("conversation-list-search"));
    view.waitForBackgroundWork();
}

// The main window's loading overlay over the start screen, fed the way a load of 2,000 conversations feeds it:
// many small steps, each shown as it comes.
TEST_F(Gallery, LoadingOverlay) {
    quillobrandt::MainView view(&state);
    view.setAnalyticsManager(&analytics);
    auto* overlay = view.findChild<quillobrandt::LoadingOverlay*>();
    ASSERT_NE(overlay, nullptr);
    view.show();
    settle();

    quillobrandt::LoadingState loading;
    loading.beginCopying();
    overlay->display(loading);
    capture(view, QStringLiteral("loading-overlay-copying"));

    const auto step = [&](const std::string& message, double fraction) {
        loading.report(message, fraction, std::nullopt, std::nullopt);
        overlay->display(loading);
        QCoreApplication::processEvents();
    };
    for (int percent = 1; percent <= 60; ++percent) {
        step("Copying database...", percent / 100.0);
    }
    settle();
    report(view, QStringLiteral("loading-overlay-copying-60"));

    step("Counting conversations...", 0.0);
    const int chats = 2000;
    for (int index = 1; index <= chats * 45 / 100; ++index) {
        step("Loading conversations " + std::to_string(index) + " of " + std::to_string(chats) + "...",
             static_cast<double>(index) / chats);
    }
    settle();
    EXPECT_EQ(overlay->percentText(), QStringLiteral("45%"));
    report(view, QStringLiteral("loading-overlay-45"));

    step("Merging duplicate conversations...", 0.95);
    settle();
    report(view, QStringLiteral("loading-overlay-merging"));

    loading.preBuildingContacts();
    loading.isMatchingContacts = true;
    overlay->display(loading);
    settle();
    report(view, QStringLiteral("loading-overlay-matching-contacts"));
}

TEST_F(Gallery, MainWindowWithContactNames) {
    quillobrandt::PermissionManager::resetContactCache();
    fake.contacts->setStatus(platform::ContactAuthorizationStatus::authorized);
    fake.contacts->setContacts(
        {{"Jane", "Doe", {"+1 (209) 266-4939"}},
         {"Bartholomew", "Featherstonehaugh-Wyndham", {"+15183808956"}},
         {"Zo\xC3\xAB", "\xC3\x85str\xC3\xB6m \xF0\x9F\x8C\xB8\xE2\x9D\xA4\xEF\xB8\x8F", {"+17542276288"}}});
    state.setHasContactsAccess(true);
    quillobrandt::MainView view(&state);
    view.setAnalyticsManager(&analytics);
    view.loadDatabase(qbtest::copySharedTestData("ios-sms.db"));
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view.loadingState().isLoading; }));
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view.loadingState().isMatchingContacts; }));
    capture(view, QStringLiteral("conversation-list-contacts"));
    view.waitForBackgroundWork();
    quillobrandt::PermissionManager::resetContactCache();
}

class ConversationGallery : public Gallery {
protected:
    std::unique_ptr<quillobrandt::ConversationDisplayView> open(const Conversation& conversation) {
        auto view = std::make_unique<quillobrandt::ConversationDisplayView>(conversation, &state, nullptr, &analytics);
        view->resize(900, 700);
        view->show();
        EXPECT_TRUE(qbtest::processEventsUntil([&] { return !view->isLoading(); }));
        return view;
    }
    qbtest::ScopedTimeZone zone{"Europe/Berlin"};
};

TEST_F(ConversationGallery, ConversationView) {
    Conversation conversation = sampleConversation(24);
    addAttachments(conversation);
    auto view = open(conversation);
    capture(*view, QStringLiteral("conversation"), QSize(900, 700));

    state.setAppTheme(quillobrandt::AppTheme::professional);
    capture(*view, QStringLiteral("conversation-professional"), QSize(900, 700));

    // Two of the sample's days, so the capture shows the filter at work rather than an empty list.
    view->setDateRange(QDate(2024, 3, 2), QDate(2024, 3, 3));
    view->setEnableDateFilter(true);
    capture(*view, QStringLiteral("conversation-date-filter"), QSize(900, 700));
    view->setEnableDateFilter(false);

    // Tabbed to a toolbar button: its focus ring shows.
    view->findChild<QPushButton*>(QStringLiteral("export_csv"))->setFocus(Qt::TabFocusReason);
    capture(*view, QStringLiteral("conversation-toolbar-focus"), QSize(900, 700));

    view->enterEditMode();
    capture(*view, QStringLiteral("conversation-edit"), QSize(900, 700));
    // Two marked: faded and struck through, their buttons turned to undo, the count on Apply and Save Copy.
    view->deleteMessage(view->rows().rowAt(1).message);
    view->deleteMessage(view->rows().rowAt(2).message);
    capture(*view, QStringLiteral("conversation-edit-marked"), QSize(900, 700));
    // From the keyboard: the current row's button ringed (Space presses it).
    auto* list = view->findChild<QListView*>("message_list");
    list->setFocus(Qt::TabFocusReason);
    list->setCurrentIndex(list->model()->index(1, 0));
    capture(*view, QStringLiteral("conversation-edit-keyboard"), QSize(900, 700));
    view->cancelEdit();

    view->jumpToOldest();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return view->showsPositionBanner(); }));
    capture(*view, QStringLiteral("conversation-jump-banner"), QSize(900, 700));

    // The newest message and its time stand clear of the jump buttons.
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view->showsPositionBanner(); }));
    view->jumpToNewest();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return view->showsPositionBanner(); }));
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view->showsPositionBanner(); }));
    capture(*view, QStringLiteral("conversation-jump-newest"), QSize(900, 700));

    view->setDateRange(QDate(2025, 1, 1), QDate(2025, 2, 1));
    view->setEnableDateFilter(true);
    capture(*view, QStringLiteral("conversation-date-filter-empty"), QSize(900, 700));
}

// The conversation sheet as its screen fits it, with the toolbar and in edit mode. Run on a small or scaled
// screen (see MainWindowOnItsScreen) to see the header there; the captures carry the scale in their names.
TEST_F(ConversationGallery, SheetOnItsScreen) {
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    const QString suffix = scale != nullptr ? QStringLiteral("-scale") + QString::fromLatin1(scale) : QString();
    Conversation conversation = sampleConversation(24);
    addAttachments(conversation);
    QWidget window;
    window.resize(400, 300);
    window.show();
    QDialog* sheet = quillobrandt::ConversationDisplayView::openAsSheet(conversation, &state, &window);
    auto* view = sheet->findChild<quillobrandt::ConversationDisplayView*>();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view->isLoading(); }));
    settle();
    report(*sheet, QStringLiteral("conversation-sheet") + suffix);
    view->enterEditMode();
    view->deleteMessage(view->rows().rowAt(1).message);
    settle();
    report(*sheet, QStringLiteral("conversation-sheet-edit") + suffix);
    sheet->close();
    // Narrower than the toolbar's titles: its symbols alone; a file name too long for the list cut in the middle.
    conversation.messages.back().attachments.push_back(
        {3, "Minutes of the residents' association meeting, 14 March 2024 (final, with corrections).pdf",
         std::string("application/pdf"), "/nowhere/minutes.pdf"});
    auto narrow = open(conversation);
    narrow->resize(420, 500);
    settle();
    narrow->findChild<QListView*>("message_list")->scrollToBottom();
    capture(*narrow, QStringLiteral("conversation-narrow") + suffix, QSize(420, 500));
}

TEST_F(ConversationGallery, GroupOfThreeWithFailedPictures) {
    Conversation conversation = sampleConversation(12, {"+15550000001", "+15550000002", "family@example.com"});
    addAttachments(conversation);
    conversation.messages[3].attachments.push_back({3, "broken.jpg", std::string("image/jpeg"), "/nowhere/broken.jpg"});
    state.setParticipantLabel("+15550000001", "Mum");
    auto view = open(conversation);
    view->setShowMedia(true);
    capture(*view, QStringLiteral("conversation-group"), QSize(900, 700));
}

// Videos, voice messages and files are shown with their text and their list of files; a picture's text
// sits under the picture.
TEST_F(ConversationGallery, GroupWithAVideoAndAVoiceMessage) {
    Conversation conversation = sampleConversation(8, {"+15550000001", "+15550000002", "family@example.com"});
    state.setParticipantLabel("+15550000001", "Mum");
    const fs::path picturePath = qbtest::IsolatedHome::root() / "gallery-picture.png";
    QImage picture(320, 200, QImage::Format_RGB32);
    QPainter painter(&picture);
    QLinearGradient sky(0, 0, 0, 200);
    sky.setColorAt(0, QColor(0x4A, 0x90, 0xD9));
    sky.setColorAt(1, QColor(0xF5, 0xD0, 0x8A));
    painter.fillRect(picture.rect(), sky);
    painter.end();
    ASSERT_TRUE(picture.save(QString::fromStdString(picturePath.string())));
    auto& messages = conversation.messages;
    messages[4].isFromMe = false;
    messages[4].sender = "+15550000001";
    messages[4].text = std::string("Here is the clip from Saturday \xEF\xBF\xBC");
    messages[4].attachments = {{1, "IMG_2041.MOV", std::string("video/quicktime"), "/nowhere/IMG_2041.MOV"}};
    messages[5].isFromMe = false;
    messages[5].sender = "+15550000002";
    messages[5].text = std::string("\xEF\xBF\xBC");
    messages[5].attachments = {{2, "Audio Message.caf", std::string("audio/x-caf"), "/nowhere/Audio Message.caf"}};
    messages[6].isFromMe = true;
    messages[6].text = std::string("\xEF\xBF\xBCThe view from the top");
    messages[6].attachments = {{3, "IMG_2042.PNG", std::string("image/png"), picturePath.string()}};
    auto view = open(conversation);
    view->resize(900, 700);
    settle();
    auto* list = view->findChild<QListView*>("message_list");
    list->scrollTo(list->model()->index(3, 0), QAbstractItemView::PositionAtTop);
    capture(*view, QStringLiteral("conversation-group-media"), QSize(900, 700));
}

TEST_F(ConversationGallery, PagedWindow) {
    auto view = open(sampleConversation(620)); // the newest 500 shown, 120 earlier ones behind a button
    capture(*view, QStringLiteral("conversation-paging"), QSize(900, 700));
}

TEST_F(ConversationGallery, LabelsSheet) {
    quillobrandt::ParticipantLabelsView labels({"+15550000001", "+15550000002", "family@example.com"}, &state);
    capture(labels, QStringLiteral("labels-sheet"));
}

TEST_F(ConversationGallery, PdfDialog) {
    const Conversation conversation = sampleConversation(30);
    quillobrandt::PDFSettingsView dialog(conversation, conversation.messages, &state, nullptr, &analytics);
    capture(dialog, QStringLiteral("pdf-dialog"));

    quillobrandt::PDFSettings settings;
    settings.colorScheme = quillobrandt::PDFColorScheme::custom;
    dialog.setSettings(settings);
    capture(dialog, QStringLiteral("pdf-dialog-custom-colours"));

    settings.colorScheme = quillobrandt::PDFColorScheme::professional;
    settings.addBindingMargin = true;
    settings.includePageNumbers = true;
    settings.pageSize = quillobrandt::PDFPageSize::a4;
    dialog.setSettings(settings);
    capture(dialog, QStringLiteral("pdf-dialog-binding"));

    settings.ultraDenseMode = true;
    dialog.setSettings(settings);
    capture(dialog, QStringLiteral("pdf-dialog-ultra-dense"));

    dialog.startGeneration();
    if (dialog.isGenerating()) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        report(dialog, QStringLiteral("pdf-dialog-generating"));
    }
    ASSERT_TRUE(dialog.waitForGeneration());
    settle();
}

// Runs `look` once, between two deliveries of the export jobs' reports, as soon as `ready` holds: all that
// came before has been shown, nothing after has arrived.
class BetweenReports final : public QObject {
public:
    BetweenReports(std::function<bool()> ready, std::function<void()> look)
        : ready_(std::move(ready)), look_(std::move(look)) {}
    bool looked() const { return looked_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!looked_ && event->type() == QEvent::MetaCall && ready_()) {
            looked_ = true;
            look_();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<bool()> ready_;
    std::function<void()> look_;
    bool looked_ = false;
};

// A long export, caught part way: its bar must show the progress the percentage states, though each report
// (every 50 messages) moves it by less than one of the bar's chunks. Caught by the reports, not by the clock:
// right after the first one past 30% has been shown, before the next (or the end) is delivered, however fast
// or slow the machine renders.
TEST_F(ConversationGallery, PdfDialogPartWay) {
    const Conversation conversation = sampleConversation(3000);
    quillobrandt::PDFSettingsView dialog(conversation, conversation.messages, &state, nullptr, &analytics);
    capture(dialog, QStringLiteral("pdf-dialog-long"));
    double caughtAt = 0;
    BetweenReports partWay([&] { return dialog.isGenerating() && dialog.progressValue() >= 0.3; },
                           [&] {
                               caughtAt = dialog.progressValue();
                               report(dialog, QStringLiteral("pdf-dialog-part-way"));
                           });
    quillobrandt::PdfExportJobs::shared().installEventFilter(&partWay);
    dialog.startGeneration();
    EXPECT_TRUE(qbtest::processEventsUntil([&] { return partWay.looked() || !dialog.isGenerating(); },
                                           std::chrono::minutes(10)));
    quillobrandt::PdfExportJobs::shared().removeEventFilter(&partWay);
    EXPECT_TRUE(partWay.looked()) << "the export ended without being seen part way";
    EXPECT_GE(caughtAt, 0.3);
    EXPECT_LT(caughtAt, 0.35) << "caught at the first report past 30%";
    dialog.reject(); // stops the render
    ASSERT_TRUE(dialog.waitForGeneration());
    settle();
}

class WizardGallery : public Gallery {
protected:
    // Run on a small or scaled screen (see MainWindowOnItsScreen), the captures carry the scale in their names.
    void captureEveryScreen(const QString& kind) {
        const char* scale = std::getenv("QT_SCALE_FACTOR");
        const QString suffix =
            kind + (scale != nullptr ? QStringLiteral("-scale") + QString::fromLatin1(scale) : QString());
        wizardtest::WizardEnvironment env;
        quillobrandt::iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        capture(wizard, QStringLiteral("wizard-1-detecting") + suffix);
        if (tools) {
            wizard.startDeviceDetection();
            ASSERT_TRUE(qbtest::processEventsUntil(
                [&] { return wizard.currentScreen() == quillobrandt::BackupWizardScreen::deviceDetected; }));
            capture(wizard, QStringLiteral("wizard-2-detected") + suffix);
            wizard.continueToBackupOverview();
            capture(wizard, QStringLiteral("wizard-3-overview") + suffix);
            wizard.openBackupFolder();
            capture(wizard, QStringLiteral("wizard-4-configure") + suffix);
            wizard.backupStarted();
            capture(wizard, QStringLiteral("wizard-5-monitoring") + suffix);
            wizard.stopBackupMonitoring();
        }
        wizard.handleBackupCompleted(qbtest::IsolatedHome::root() / "backup");
        settle();
        capture(wizard, QStringLiteral("wizard-6-extract") + suffix);
        // A plain backup picked with the folder panel: announced as picked, no password asked for.
        qbtest::BackupGenerator plain;
        plain.addFile("HomeDomain", "Library/SMS/sms.db", std::string("x"));
        wizard.handleBackupFolderSelection(
            plain.write(qbtest::IsolatedHome::root() / ("picked" + suffix.toStdString())));
        capture(wizard, QStringLiteral("wizard-6-extract-picked") + suffix);
        wizard.showCompleteScreen();
        capture(wizard, QStringLiteral("wizard-7-complete") + suffix);
    }
    std::unique_ptr<wizardtest::FakeTools> tools;
};

TEST_F(WizardGallery, EveryScreenWithTheDeviceTools) {
    tools = std::make_unique<wizardtest::FakeTools>();
    tools->install("00008110-000A1B2C3D4E5F60\\n");
    captureEveryScreen(QString());
}

TEST_F(WizardGallery, EveryScreenWithoutTools) {
    wizardtest::FakeTools emptyPath; // PATH holds no device tools at all
    captureEveryScreen(QStringLiteral("-no-tools"));
}

// The wizard's error alert as the real message box shows it: the wrong password's explanation in lines.
TEST_F(WizardGallery, WrongPasswordAlert) {
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    const QString suffix = scale != nullptr ? QStringLiteral("-scale") + QString::fromLatin1(scale) : QString();
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Error");
    request.informativeText =
        QStringLiteral("Extraction failed: Failed to unwrap encryption key. The password may be incorrect.");
    request.style = platform::AlertStyle::warning;
    request.buttons = {QStringLiteral("OK")};
    bool captured = false;
    QTimer::singleShot(100, [&] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            report(*box, QStringLiteral("wizard-wrong-password-alert") + suffix);
            captured = true;
            box->done(0);
        }
    });
    platform::QtAlertPresenter().runModal(request);
    EXPECT_TRUE(captured);
}

TEST_F(WizardGallery, SaveExtractionDialog) {
    quillobrandt::SaveExtractionDialog dialog(
        QStringLiteral("iPhone Backup 12/9/26"), [](const QString&) {}, [] {});
    capture(dialog, QStringLiteral("wizard-save-extraction"));
}

TEST_F(Gallery, SmallWindows) {
    quillobrandt::PreferencesView preferences(state);
    capture(preferences, QStringLiteral("preferences"));
    quillobrandt::AboutView about;
    capture(about, QStringLiteral("about"));
    quillobrandt::FeedbackView feedback;
    capture(feedback, QStringLiteral("feedback"));
}

// The whole main window, menu bar included, as its screen shows it: at launch and with a loaded list. Run the
// gallery on a small or scaled screen to see it there (QT_SCALE_FACTOR, and "offscreen:configfile=<json>" with
// the screen's size); the captures then carry the scale in their names.
TEST_F(Gallery, MainWindowOnItsScreen) {
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    const QString suffix = scale != nullptr ? QStringLiteral("-scale") + QString::fromLatin1(scale) : QString();
    quillobrandt::AppDelegate* delegatePointer = nullptr;
    quillobrandt::AppDelegate delegate(
        [this, &delegatePointer](QWidget* parent) -> QWidget* {
            auto* view = new quillobrandt::MainView(&delegatePointer->appState(), parent);
            view->setAnalyticsManager(&analytics);
            return view;
        },
        nullptr, &analytics);
    delegatePointer = &delegate;
    delegate.applicationDidFinishLaunching();
    delegate.appState().setShowContactsRequest(false);
    delegate.appState().setShowSplash(false);
    QWidget* window = delegate.window();
    const QRect available = window->screen()->availableGeometry();
    const auto onScreen = [&] {
        EXPECT_TRUE(available.contains(window->frameGeometry()))
            << "frame " << window->frameGeometry().x() << "," << window->frameGeometry().y() << " "
            << window->frameGeometry().width() << "x" << window->frameGeometry().height() << " on " << available.width()
            << "x" << available.height();
    };
    settle();
    std::cout << "[ screen   ] " << available.width() << "x" << available.height() << " free, window "
              << window->width() << "x" << window->height() << " at " << window->x() << "," << window->y() << "\n";
    report(*window, QStringLiteral("main-window-start") + suffix);
    onScreen();

    auto* view = window->findChild<quillobrandt::MainView*>();
    ASSERT_NE(view, nullptr);
    view->loadDatabase(qbtest::copySharedTestData("ios-sms.db"));
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view->loadingState().isLoading; }));
    settle();
    std::cout << "[ screen   ] window " << window->width() << "x" << window->height() << " at " << window->x() << ","
              << window->y() << "\n";
    report(*window, QStringLiteral("main-window-list") + suffix);
    onScreen();
    // The list's last control is in the window, not below the screen.
    auto* display = view->findChild<QPushButton*>(QStringLiteral("display_conversation"));
    ASSERT_NE(display, nullptr);
    const QRect button(display->mapTo(window, QPoint(0, 0)), display->size());
    EXPECT_TRUE(window->rect().contains(button));
    view->waitForBackgroundWork();
}

// The screens with check boxes, radio buttons and text fields under a dark palette, in the application's style.
TEST_F(Gallery, DarkPalette) {
    const QPalette light = QApplication::palette();
    const QString styleName = QApplication::style()->name();
    quillobrandt::installControlStyle();
    QApplication::setPalette(qbtest::darkPalette());
    {
        quillobrandt::PreferencesView preferences(state);
        capture(preferences, QStringLiteral("dark-preferences"));
        quillobrandt::MainView view(&state);
        view.setAnalyticsManager(&analytics);
        capture(view, QStringLiteral("dark-start-screen"));
        view.loadDatabase(qbtest::copySharedTestData("ios-sms.db"));
        ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view.loadingState().isLoading; }));
        capture(view, QStringLiteral("dark-conversation-list"));
        view.setSearchText(QStringLiteral("nobody by this name"));
        capture(view, QStringLiteral("dark-conversation-list-no-match"));
        view.waitForBackgroundWork();
        wizardtest::WizardEnvironment env;
        quillobrandt::iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        wizard.handleBackupCompleted(qbtest::IsolatedHome::root() / "backup");
        capture(wizard, QStringLiteral("dark-wizard-extract"));
        Conversation conversation = sampleConversation(24);
        addAttachments(conversation);
        quillobrandt::ConversationDisplayView conversationView(conversation, &state, nullptr, &analytics);
        conversationView.resize(900, 700);
        conversationView.show();
        ASSERT_TRUE(qbtest::processEventsUntil([&] { return !conversationView.isLoading(); }));
        capture(conversationView, QStringLiteral("dark-conversation"), QSize(900, 700));
        state.setAppTheme(quillobrandt::AppTheme::professional);
        capture(conversationView, QStringLiteral("dark-conversation-professional"), QSize(900, 700));
        state.setAppTheme(quillobrandt::AppTheme::quillobrandt);
    }
    QApplication::setPalette(light);
    QApplication::setStyle(styleName);
}

// Where the keyboard is, on the controls that draw their own focus, in a light and a dark palette: the start
// screen's three sources, the Contacts question's two buttons, a conversation row reached with Tab and the wizard's
// main button; and the quieter texts of a group conversation from a backup (sender names, times, a file's chip,
// the unsupported-message placeholder and the backup's note on a picture it lacks).
TEST_F(Gallery, KeyboardFocusAndQuietTexts) {
    const QPalette light = QApplication::palette();
    const QString styleName = QApplication::style()->name();
    quillobrandt::installControlStyle();
    const auto focusAndCapture = [&](QWidget& window, QWidget& control, const QString& name) {
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window)) << name.toStdString();
        control.setFocus(Qt::TabFocusReason);
        settle();
        ASSERT_TRUE(control.hasFocus()) << name.toStdString();
        report(window, name);
    };
    for (const bool dark : {false, true}) {
        const QString suffix = dark ? QStringLiteral("-dark") : QString();
        QApplication::setPalette(dark ? qbtest::darkPalette() : light);
        {
            quillobrandt::MainView view(&state);
            view.setAnalyticsManager(&analytics);
            view.resize(550, 380);
            view.show();
            for (const char* name : {"load_mac_messages", "load_iphone_messages", "open_messages_folder"}) {
                auto* control = view.findChild<QWidget*>(QString::fromLatin1(name));
                ASSERT_NE(control, nullptr) << name;
                focusAndCapture(view, *control, QStringLiteral("focus-start-") + QString::fromLatin1(name) + suffix);
            }
            Conversation other = sampleConversation(2, {"+15550000002"});
            other.id = "8";
            state.setConversations({sampleConversation(3), other});
            settle();
            auto* list = view.findChild<QListView*>();
            view.findChild<QLineEdit*>()->setFocus(Qt::OtherFocusReason);
            ASSERT_TRUE(qbtest::tabTo(*list));
            settle();
            report(view, QStringLiteral("focus-conversation-row") + suffix);
            state.setConversations({});
        }
        {
            quillobrandt::ContactsRequestView contacts(state);
            contacts.show();
            focusAndCapture(contacts, *contacts.enableButton(), QStringLiteral("focus-contacts-enable") + suffix);
            focusAndCapture(contacts, *contacts.skipButton(), QStringLiteral("focus-contacts-skip") + suffix);
        }
        {
            wizardtest::WizardEnvironment env;
            quillobrandt::iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
            wizard.handleBackupCompleted(qbtest::IsolatedHome::root() / "backup");
            wizard.show();
            auto* extract = wizard.findChild<QPushButton*>(QStringLiteral("extractButton"));
            ASSERT_NE(extract, nullptr);
            if (!extract->isEnabled()) { // waiting for the backup's password
                QTest::keyClicks(wizard.findChild<QLineEdit*>(QStringLiteral("passwordField")), QStringLiteral("pw"));
            }
            ASSERT_TRUE(extract->isEnabled());
            focusAndCapture(wizard, *extract, QStringLiteral("focus-wizard-extract") + suffix);
        }
        {
            Conversation conversation = sampleConversation(12, {"+15550000001", "+15550000002", "family@example.com"});
            addAttachments(conversation);
            conversation.messages.at(9).text.reset(); // nothing to show: the placeholder
            state.setIsIPhoneBackup(true);
            quillobrandt::ConversationDisplayView view(conversation, &state, nullptr, &analytics);
            view.resize(900, 700);
            view.show();
            ASSERT_TRUE(qbtest::processEventsUntil([&] { return !view.isLoading(); }));
            view.findChild<QListView*>("message_list")->scrollToBottom();
            capture(view, QStringLiteral("conversation-backup-quiet-texts") + suffix, QSize(900, 700));
            state.setIsIPhoneBackup(false);
        }
    }
    QApplication::setPalette(light);
    QApplication::setStyle(styleName);
}

} // namespace

namespace {

// Every symbol at the sizes the screens use, in the secondary grey and the accent colour, to look at side by side.
TEST_F(Gallery, Symbols) {
    QWidget sheet;
    sheet.setAutoFillBackground(true);
    auto* grid = new QGridLayout(&sheet);
    const QStringList names = quillobrandt::knownSymbolNames();
    int index = 0;
    for (const QString& name : names) {
        auto* cell = new QWidget(&sheet);
        auto* column = new QVBoxLayout(cell);
        auto* row = new QHBoxLayout;
        row->addWidget(new quillobrandt::SymbolIcon(name, 14, QColor(0x8E, 0x8E, 0x93), cell));
        row->addWidget(new quillobrandt::SymbolIcon(name, 32, QColor(0xFF, 0x8C, 0x78), cell));
        row->addWidget(new quillobrandt::SymbolIcon(name, 48, Qt::black, cell));
        column->addLayout(row);
        auto* caption = new QLabel(name, cell);
        caption->setFont(QFont(caption->font().family(), 8));
        column->addWidget(caption);
        grid->addWidget(cell, index / 6, index % 6);
        ++index;
    }
    capture(sheet, QStringLiteral("symbols"));
}

} // namespace
