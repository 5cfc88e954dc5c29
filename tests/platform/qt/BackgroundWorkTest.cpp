#include "platform/qt/BackgroundWork.h"

#include <QObject>
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/core/SignalStack.h"

namespace {

// A task that overflows its stack can only be reported from an alternate signal stack of its pool thread's own;
// every task gets one, the first on a thread and those after it.
TEST(BackgroundWork, EveryTaskRunsWithAnAlternateSignalStack) {
    QObject owner;
    std::mutex mutex;
    std::vector<std::size_t> sizes;
    {
        platform::BackgroundWork work(&owner, 2, QStringLiteral("test-work"));
        for (int i = 0; i < 6; ++i) {
            work.start([&] {
                std::lock_guard lock(mutex);
                sizes.push_back(platform::currentAlternateSignalStackSize());
            });
        }
        ASSERT_TRUE(work.waitForDone(30000));
    }
    ASSERT_EQ(sizes.size(), 6u);
    for (const std::size_t size : sizes) {
        EXPECT_GE(size, platform::kAlternateSignalStackSize);
    }
}

} // namespace
