#include <QApplication>
#include <QWidget>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/AppDelegate.h"

#if QB_HAVE_MAIN_VIEW
#include "Quillobrandt/main/MainView.h"
#endif

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillobrandt"));
    QApplication::setOrganizationName(QStringLiteral("Quillobrandt"));
    QApplication::setApplicationVersion(QStringLiteral(QB_APP_VERSION));
    QApplication::setQuitOnLastWindowClosed(true);

    int status = 0;
    {
        quillobrandt::AppDelegate* delegatePointer = nullptr;
        auto mainScreen = [&delegatePointer](QWidget* parent) -> QWidget* {
#if QB_HAVE_MAIN_VIEW
            return new quillobrandt::MainView(delegatePointer->appState(), parent);
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
    return status;
}
