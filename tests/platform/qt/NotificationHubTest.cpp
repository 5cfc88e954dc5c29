#include "platform/qt/NotificationHub.h"

#include <QSize>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationRecorder.h"
#include "tests/support/qt/EventLoop.h"

namespace {

using platform::NotificationHub;
namespace notification = platform::notification;

TEST(NotificationHub, NamesAreTheDesignedStrings) {
    EXPECT_EQ(notification::resizeWindow, "ResizeWindow");
    EXPECT_EQ(notification::showFeedback, "ShowFeedback");
    EXPECT_EQ(notification::showBackupWizard, "ShowBackupWizard");
    EXPECT_EQ(notification::databaseLoadingStarted, "DatabaseLoadingStarted");
    EXPECT_EQ(notification::databaseLoadingCompleted, "DatabaseLoadingCompleted");
    EXPECT_EQ(notification::sizeKey, "size");
}

TEST(NotificationHub, PostOnTheGuiThreadReachesOnlyObserversOfThatNameAtOnce) {
    NotificationHub hub;
    QObject context;
    int feedback = 0;
    int wizard = 0;
    hub.addObserver(notification::showFeedback, &context, [&](const QVariantMap&) { ++feedback; });
    hub.addObserver(notification::showBackupWizard, &context, [&](const QVariantMap&) { ++wizard; });
    hub.post(notification::showFeedback);
    EXPECT_EQ(feedback, 1);
    EXPECT_EQ(wizard, 0);
}

TEST(NotificationHub, PostFromAWorkerIsDeliveredOnTheGuiThreadWithItsUserInfo) {
    NotificationHub hub;
    QObject context;
    std::optional<QSizeF> size;
    bool onMain = false;
    hub.addObserver(notification::resizeWindow, &context, [&](const QVariantMap& info) {
        size = platform::resizeWindowSize(info);
        onMain = platform::isMainThread();
    });
    std::thread([&] { hub.post(notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(810, 690))); }).join();
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return size.has_value(); }));
    EXPECT_EQ(*size, QSizeF(810, 690));
    EXPECT_TRUE(onMain);
}

TEST(NotificationHub, ObserverStopsWithItsContext) {
    NotificationHub hub;
    int calls = 0;
    {
        QObject context;
        hub.addObserver(notification::showFeedback, &context, [&](const QVariantMap&) { ++calls; });
        hub.post(notification::showFeedback);
    }
    hub.post(notification::showFeedback);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationHub, RecorderSeesPostsInOrder) {
    NotificationHub hub;
    platform::NotificationRecorder recorder(hub);
    hub.post(notification::databaseLoadingStarted);
    hub.post(notification::databaseLoadingCompleted);
    EXPECT_EQ(recorder.names(),
              QStringList({notification::databaseLoadingStarted, notification::databaseLoadingCompleted}));
}

TEST(NotificationHub, ResizeSizeIsReadOnlyFromASize) {
    EXPECT_EQ(platform::resizeWindowSize(platform::resizeWindowUserInfo(QSizeF(550, 380))), QSizeF(550, 380));
    EXPECT_EQ(platform::resizeWindowSize({{"size", QSize(600, 450)}}), QSizeF(600, 450));
    EXPECT_FALSE(platform::resizeWindowSize({}).has_value());
    EXPECT_FALSE(platform::resizeWindowSize({{"size", QStringLiteral("810x690")}}).has_value());
    EXPECT_FALSE(platform::resizeWindowSize({{"width", 810}}).has_value());
}

TEST(NotificationHub, DefaultCenterIsOneInstance) {
    EXPECT_EQ(&NotificationHub::defaultCenter(), &NotificationHub::defaultCenter());
}

} // namespace
