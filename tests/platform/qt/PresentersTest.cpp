#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/qt/AlertPresenter.h"

#include "platform/core/Paths.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/PrivacyGate.h"
#include "tests/support/TestEnvironment.h"

namespace {

TEST(PanelPresenter, DefaultSuffixIsAppendedOnlyWhenMissing) {
    EXPECT_EQ(platform::withDefaultSuffix("/home/u/report", "pdf"), "/home/u/report.pdf");
    EXPECT_EQ(platform::withDefaultSuffix("/home/u/report.pdf", "pdf"), "/home/u/report.pdf");
    EXPECT_EQ(platform::withDefaultSuffix("/home/u/report.PDF", "pdf"), "/home/u/report.PDF");
    EXPECT_EQ(platform::withDefaultSuffix("/home/u/report.csv", "pdf"), "/home/u/report.csv.pdf");
    EXPECT_EQ(platform::withDefaultSuffix("/home/u.pdf/report", "pdf"), "/home/u.pdf/report.pdf");
    EXPECT_EQ(platform::withDefaultSuffix("/home/u/notes", ""), "/home/u/notes");
}

TEST(PanelPresenter, RecordingFakeAnswersInOrderThenCancels) {
    platform::RecordingPanelPresenter panels;
    panels.answerNext(QStringLiteral("/tmp/out"));
    panels.answerNext(std::nullopt);
    platform::SavePanelRequest save{"Export", "", "chat.pdf", {"PDF (*.pdf)"}, "pdf", "Export"};
    EXPECT_EQ(panels.chooseSaveLocation(save), QStringLiteral("/tmp/out.pdf"));
    EXPECT_FALSE(panels.chooseFileToOpen({}).has_value());
    EXPECT_FALSE(panels.chooseFolder({}).has_value());
    ASSERT_EQ(panels.saveRequests().size(), 1u);
    EXPECT_EQ(panels.saveRequests()[0], save);
}

TEST(AlertPresenter, RecordingFakeUsesScriptedThenDefaultAnswers) {
    platform::RecordingAlertPresenter alerts;
    platform::AlertRequest request{"Title", "Text", platform::AlertStyle::critical, {"OK", "Cancel"}, 0, 1};
    alerts.answerNext(1);
    EXPECT_EQ(alerts.runModal(request), 1);
    EXPECT_EQ(alerts.runModal(request), 0);
    alerts.setDefaultAnswer(-1);
    EXPECT_EQ(alerts.runModal(request), -1);
    ASSERT_EQ(alerts.alerts().size(), 3u);
    EXPECT_EQ(alerts.alerts()[0], request);
    EXPECT_TRUE(alerts.shownOnMainThread()[0]);
}

TEST(SecurityScope, DesktopScopeAlwaysOpens) {
    platform::DesktopSecurityScope scope;
    EXPECT_TRUE(scope.startAccessing("/anything"));
    scope.stopAccessing("/anything");
}

TEST(SecurityScope, RecordingFakeTracksPairing) {
    platform::RecordingSecurityScope scope;
    scope.refuse("/refused");
    EXPECT_TRUE(scope.startAccessing("/a"));
    EXPECT_FALSE(scope.startAccessing("/refused"));
    EXPECT_EQ(scope.openCount("/a"), 1);
    EXPECT_EQ(scope.openCount("/refused"), 0);
    EXPECT_FALSE(scope.allClosed());
    scope.stopAccessing("/a");
    EXPECT_TRUE(scope.allClosed());
    EXPECT_EQ(scope.events().size(), 3u);
}

TEST(PrivacyGate, LinuxHasNoGateUnlessATestSaysSo) {
    EXPECT_FALSE(platform::hasFullDiskAccessGate());
    {
        platform::FakePlatform fake(true);
        EXPECT_TRUE(platform::hasFullDiskAccessGate());
    }
    EXPECT_FALSE(platform::hasFullDiskAccessGate());
}

TEST(PlatformServices, FakePlatformInstallsAndRestores) {
    auto defaultAlerts = platform::alertPresenter();
    {
        platform::FakePlatform fake;
        EXPECT_EQ(platform::alertPresenter().get(), fake.alerts.get());
        EXPECT_EQ(platform::contactStore().get(), fake.contacts.get());
        EXPECT_EQ(platform::securityScope().get(), fake.securityScope.get());
        EXPECT_EQ(platform::desktopServices().get(), fake.desktop.get());
        EXPECT_EQ(platform::panelPresenter().get(), fake.panels.get());
    }
    EXPECT_NE(platform::alertPresenter().get(), nullptr);
    EXPECT_EQ(dynamic_cast<platform::RecordingAlertPresenter*>(platform::alertPresenter().get()), nullptr);
}

} // namespace

namespace {

// Shows the real message box and presses Escape on it once it is up. nullopt when Escape did not close it.
std::optional<int> answerWithEscape(const platform::AlertRequest& request) {
    QTimer::singleShot(50, [] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            QTest::keyClick(box, Qt::Key_Escape);
        }
    });
    // A box that ignores Escape would hang the test: end it from a later timer.
    auto timedOut = std::make_shared<bool>(false);
    QTimer::singleShot(3000, [timedOut] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            *timedOut = true;
            box->done(0);
        }
    });
    const int answer = platform::QtAlertPresenter().runModal(request);
    return *timedOut ? std::nullopt : std::optional<int>(answer);
}

} // namespace

TEST(AlertPresenter, EscapeAnswersTheCancelButtonOrClosesUnanswered) {
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Question");
    request.buttons = {QStringLiteral("No"), QStringLiteral("Yes")};
    request.defaultButton = 1;
    request.cancelButton = 0;
    EXPECT_EQ(answerWithEscape(request), std::optional<int>(0));

    request.cancelButton = std::nullopt;
    request.escapeCloses = true;
    EXPECT_EQ(answerWithEscape(request), std::optional<int>(-1)) << "closed without deciding";
}

// A message box takes its width from its short title ("Error") and wraps the explanation under it into a narrow
// column (191 pixels wide at scale 1.5 on a laptop screen). Its text gets readable lines, within the screen. CTest
// also runs this on a 1366 by 768 screen at scale 1.5 (see this folder's CMakeLists.txt).
TEST(AlertPresenter, TheExplanationIsLaidOutInLinesNotAColumn) {
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Error");
    request.informativeText =
        QStringLiteral("Extraction failed: Failed to unwrap encryption key. The password may be incorrect.");
    request.buttons = {QStringLiteral("OK")};
    QRect box;
    int lineWidth = 0;
    int textWidth = 0;
    int readableLine = 0; // sixty characters
    QTimer::singleShot(50, [&] {
        if (auto* shown = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            box = shown->frameGeometry();
            if (auto* label = shown->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
                lineWidth = label->width();
                textWidth = label->fontMetrics().horizontalAdvance(label->text());
                readableLine = label->fontMetrics().averageCharWidth() * 60;
            }
            shown->done(0);
        }
    });
    platform::QtAlertPresenter().runModal(request);
    const QRect available = QApplication::primaryScreen()->availableGeometry();
    ASSERT_GT(textWidth, 0);
    EXPECT_GE(lineWidth, std::min(textWidth, readableLine)) << "text " << textWidth << " px in lines of " << lineWidth;
    EXPECT_LE(box.width(), available.width());
}

TEST(PanelPresenter, PanelsWithoutAFolderOpenInDocumentsOrHomeNeverTheWorkingDirectory) {
    const QString home = QString::fromStdString(platform::homeDir().string());
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    ASSERT_TRUE(documents.startsWith(QString::fromStdString(qbtest::IsolatedHome::root().string())))
        << "only ever inside the test's own home";
    QDir(documents).removeRecursively();
    EXPECT_EQ(platform::defaultPanelDirectory(), home);
    ASSERT_TRUE(QDir().mkpath(documents));
    EXPECT_EQ(platform::defaultPanelDirectory(), documents);
    EXPECT_NE(platform::defaultPanelDirectory(), QDir::currentPath());
}

// The file panels on the screen they open on; CTest also runs this on a 1366 by 768 screen at scale 2 (see this
// folder's CMakeLists.txt), where the free area is 683 by 384 logical pixels. Each panel, as it comes up, lies
// within the free area less a title bar, so its buttons stay in reach.
TEST(PanelPresenter, PanelsFitTheScreenTheyOpenOn) {
    QWidget window;
    window.resize(300, 200);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const QRect available = window.screen()->availableGeometry();
    const auto measure = [&](const std::function<void()>& open) {
        QSize shown;
        QTimer::singleShot(50, [&shown] {
            if (auto* panel = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                shown = panel->size();
                panel->reject();
            }
        });
        open();
        return shown;
    };
    platform::QtPanelPresenter panels;
    const std::vector<QSize> sizes = {
        measure([&] {
            panels.chooseFileToOpen({QStringLiteral("Open"), QString(), {}, QStringLiteral("Open")});
        }),
        measure([&] { panels.chooseSaveLocation({}); }),
        measure([&] {
            panels.chooseFolder({QStringLiteral("Folder"), QString(), QStringLiteral("Choose")});
        }),
    };
    for (const QSize& size : sizes) {
        ASSERT_TRUE(size.isValid()) << "the panel came up";
        EXPECT_LE(size.width(), available.width());
        EXPECT_LE(size.height() + 40, available.height()) << size.height() << " on " << available.height();
    }
}
