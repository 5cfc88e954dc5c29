#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    qbtest::IsolatedHome::installListener();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
