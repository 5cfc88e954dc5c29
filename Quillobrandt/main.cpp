#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/AppDelegate.h"
#include "Quillobrandt/app/ControlStyle.h"
#include "Quillobrandt/app/DisplayCheck.h"

#include "Corvantesk/qt/QtPlatformHooks.h"
#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/export/PDFSettingsView.h"
#include "Quillobrandt/main/MainView.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "Quillobrandt/wizard/UnsavedExtractions.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"

namespace {

// The main window's content, with the sheets it opens.
QWidget* makeMainScreen(quillobrandt::AppState& appState, QWidget* parent) {
    auto* mainView = new quillobrandt::MainView(&appState, parent);
    QObject::connect(mainView, &quillobrandt::MainView::backupWizardRequested, mainView, [mainView, &appState] {
        auto* wizard = quillobrandt::iPhoneBackupWizardView::present(appState, mainView->window());
        QObject::connect(wizard, &quillobrandt::iPhoneBackupWizardView::presentedChanged, mainView,
                         [mainView](bool presented) {
                             if (!presented) {
                                 mainView->setShowingBackupWizard(false);
                             }
                         });
    });
    QObject::connect(mainView, &quillobrandt::MainView::conversationOpenRequested, mainView,
                     [mainView, &appState](const std::shared_ptr<const quillobrandt::Conversation>& conversation) {
                         QDialog* sheet = quillobrandt::ConversationDisplayView::openAsSheet(conversation, &appState,
                                                                                             mainView->window());
                         QObject::connect(sheet, &QObject::destroyed, mainView,
                                          [mainView] { mainView->conversationWindowClosed(); });
                     });
    return mainView;
}

QtMessageHandler qtMessages = nullptr;

// While Qt starts: a platform that cannot start after all (a display that took the connection, then refused it)
// ends in Qt's advice to reinstall; say what is wrong instead.
void startupMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && message.contains(QStringLiteral("platform plugin"))) {
        std::fprintf(stderr, "%s\n", quillobrandt::displayFailureText().c_str());
        std::_Exit(2);
    }
    if (qtMessages != nullptr) {
        qtMessages(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // Without a display Qt would abort, telling the user to reinstall: say what is missing instead.
    if (const auto problem = quillobrandt::displayProblem()) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 2;
    }
    qtMessages = qInstallMessageHandler(startupMessages);
    QApplication application(argc, argv);
    qInstallMessageHandler(qtMessages);
    QApplication::setApplicationName(QStringLiteral("Quillobrandt"));
    QApplication::setOrganizationName(QStringLiteral("Quillobrandt"));
    QApplication::setApplicationVersion(QStringLiteral(QB_APP_VERSION));
    QApplication::setQuitOnLastWindowClosed(true);
    // The desktop finds the menu entry and the icon of the running program by this name (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(QB_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/symbols/AppIcon.svg")));
    // Check boxes and radio buttons that stay visible under a dark palette.
    quillobrandt::installControlStyle();
    // Held to the end: clears a killed run's database snapshots, decrypted indexes and unsaved extractions, and
    // tells a later start that this run's are still in use.
    const auto workingFiles = quillobrandt::WorkingFilesLock::acquireAndSweep();
    // Before the SDK is initialised, so its automatic tracking sees this application's widgets.
    corvantesk::Corvantesk::setPlatformHooks(std::make_shared<corvantesk::QtPlatformHooks>());
    // The conversation view reaches the PDF export and HEIC pictures through this.
    quillobrandt::installConversationExport();

    int status = 0;
    {
        quillobrandt::AppDelegate* delegatePointer = nullptr;
        auto mainScreen = [&delegatePointer](QWidget* parent) -> QWidget* {
            return makeMainScreen(delegatePointer->appState(), parent);
        };
        quillobrandt::AppDelegate delegate(mainScreen);
        delegatePointer = &delegate;
        delegate.applicationDidFinishLaunching();
        status = QApplication::exec();
    }
    // Nothing shows them any more; a decrypted copy of a phone's messages is kept only when the user saved it.
    quillobrandt::removeUnsavedExtractions();
    corvantesk::Corvantesk::shutdown();
    // The hooks belong to the UI thread: let them go while the application object still exists.
    corvantesk::Corvantesk::setPlatformHooks(nullptr);
    return status;
}
