#pragma once

#include "Corvantesk/Corvantesk.h"
#include "Corvantesk/qt/MacOSAutoTracker.h"
#include "Corvantesk/qt/QtPlatformHooks.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace corvantesk::qttest {

// A started SDK on a loopback server with the Qt hooks in place: what the trackers report can be read back
// from the shared client's analytics queue and breadcrumb buffer.
class QtTrackingTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_unique<platform::UserDefaults>(qbtest::IsolatedHome::root() / "defaults.json");
        storage_ = std::make_unique<Storage>(*defaults_, qbtest::IsolatedHome::root() / "Corvantesk");
        options_ = CorvanteskOptions::make("app.test", "secret");
        options_.baseUrl = server_.baseUrl();
        options_.flushInterval = 3600;
        options_.batchSize = 500;
        options_.health.enableHeartbeat = false;
        options_.health.captureDeviceState = false;
        hooks_ = std::make_shared<QtPlatformHooks>();
    }

    void TearDown() override {
        Corvantesk::shutdown(std::chrono::seconds(1));
        auto& tracker = MacOSAutoTracker::shared();
        tracker.uninstall();
        tracker.isEnabled = true;
        tracker.trackButtonClicks = true;
        tracker.trackMenuClicks = true;
        tracker.trackScreenViews = true;
        // Windows are hidden before they go, so no screen of this test is remembered by the next.
        for (auto* window : QApplication::topLevelWidgets()) {
            window->hide();
        }
        QApplication::processEvents();
    }

    void startSdk(bool withHooks = true) {
        ClientEnvironment environment;
        environment.storage = storage_.get();
        if (withHooks) {
            environment.hooks = hooks_;
        }
        Corvantesk::initialize(options_, environment);
        Corvantesk::start();
    }

    static void showActive(QWidget& window) {
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QApplication::processEvents();
    }

    static std::vector<AnalyticsEvent> events(const std::string& type = {}) {
        std::vector<AnalyticsEvent> all;
        if (auto client = Corvantesk::sharedOrNil()) {
            for (auto& event : client->analytics().pendingEvents()) {
                if (type.empty() || event.eventType == type) {
                    all.push_back(std::move(event));
                }
            }
        }
        return all;
    }

    static std::vector<Breadcrumb> breadcrumbs(const std::string& category = {}) {
        std::vector<Breadcrumb> all;
        if (auto client = Corvantesk::sharedOrNil()) {
            for (auto& crumb : client->health().allBreadcrumbs()) {
                if (category.empty() || crumb.category == category) {
                    all.push_back(std::move(crumb));
                }
            }
        }
        return all;
    }

    static std::vector<std::string> screens() {
        std::vector<std::string> names;
        for (const auto& event : events("screen_viewed")) {
            names.push_back(event.screen.value_or(""));
        }
        return names;
    }

    qbtest::LoopbackHttpServer server_;
    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<Storage> storage_;
    CorvanteskOptions options_;
    std::shared_ptr<QtPlatformHooks> hooks_;
};

} // namespace corvantesk::qttest
