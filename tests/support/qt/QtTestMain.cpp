#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QWidget>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt keeps every window it made reachable until the process ends, so the leak checker cannot see a window
// that a test (or the code under test) created and never deleted. Such windows are counted here instead.
int reportLeftoverWindows() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    int leftovers = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->parent() != nullptr) {
            continue; // owned by another widget, deleted with it
        }
        ++leftovers;
        std::fprintf(stderr, "Window left undeleted: %s \"%s\" \"%s\"\n", widget->metaObject()->className(),
                     qPrintable(widget->objectName()), qPrintable(widget->windowTitle()));
    }
    return leftovers == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    qbtest::IsolatedHome::installListener();
    QApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    return reportLeftoverWindows() != 0 ? 1 : result;
}
