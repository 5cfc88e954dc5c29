#include <QApplication>
#include <QWidget>
#include <memory>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/AppDelegate.h"

#if QB_HAVE_MAIN_VIEW
#include "Quillobrandt/main/MainView.h"
#endif
#if QB_HAVE_SDK_QT
#include "Corvantesk/qt/QtPlatformHooks.h"
#endif

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillobrandt"));
    QApplication::setOrganizationName(QStringLiteral("Quillobrandt"));
    QApplication::setApplicationVersion(QStringLiteral(QB_APP_VERSION));
    QApplication::setQuitOnLastWindowClosed(true);
#if QB_HAVE_SDK_QT
    // Before the SDK is initialised, so its automatic tracking sees this application's widgets.
    corvantesk::Corvantesk::setPlatformHooks(std::make_shared<corvantesk::QtPlatformHooks>());
#endif

    int status = 0;
    {
        quillobrandt::AppDelegate* delegatePointer = nullptr;
        auto mainScreen = [&delegatePointer](QWidget* parent) -> QWidget* {
#if QB_HAVE_MAIN_VIEW
            return new quillobrandt::MainView(&delegatePointer->appState(), parent);
#else
            (void)delegatePointer;
            return new QWidget(parent);
#endif
        };
        quillobrandt::AppDelegate delegate(mainScreen);
        delegatePointer = &delegate;
        delegate.applicationDidFinishLaunching();
        status = QApplication::exec();
    }
    corvantesk::Corvantesk::shutdown();
    // The hooks belong to the UI thread: let them go while the application object still exists.
    corvantesk::Corvantesk::setPlatformHooks(nullptr);
    return status;
}
