#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qbtest::IsolatedHome::installListener();
    return RUN_ALL_TESTS();
}
