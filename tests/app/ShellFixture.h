#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/NotificationRecorder.h"
#include "tests/app/RecordingHttpSender.h"

namespace qbtest {

// The fake desktop, a private hub that records what is posted, and a disabled analytics client.
class ShellTest : public ::testing::Test {
protected:
    explicit ShellTest(bool fullDiskAccessGate = false) : fake(fullDiskAccessGate) {}

    ~ShellTest() override {
        // Top-level windows left open by a test must not leak into the next one.
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            widget->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    std::unique_ptr<quillobrandt::AppState> makeState() {
        return std::make_unique<quillobrandt::AppState>(&hub, &analytics);
    }

    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    platform::FakePlatform fake;
    platform::NotificationHub hub;
    platform::NotificationRecorder recorder{hub};
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<RecordingHttpSender>(), defaults};
};

// The "ResizeWindow" sizes posted so far, in order.
inline std::vector<QSize> postedSizes(const platform::NotificationRecorder& recorder) {
    std::vector<QSize> sizes;
    for (const auto& [name, userInfo] : recorder.posted()) {
        if (name == platform::notification::resizeWindow) {
            if (auto size = platform::resizeWindowSize(userInfo)) {
                sizes.push_back(size->toSize());
            }
        }
    }
    return sizes;
}

} // namespace qbtest
