#include "Corvantesk/qt/AppLifecycleTracker.h"
#include "Corvantesk/qt/SharedClientReporting.h"
#include "tests/corvantesk/qt/QtTrackingFixture.h"

#include <QScreen>

#include <future>

namespace corvantesk::qttest {
namespace {

class LifecycleTest : public QtTrackingTest {};

TEST_F(LifecycleTest, BecomingActiveAndResigningAreReportedOnce) {
    startSdk(false);
    AppLifecycleTracker tracker;
    tracker.startObserving();
    tracker.startObserving(); // a second start registers nothing more
    // The offscreen platform never leaves the active state by itself, so the application's own signal is
    // raised here; the first one only sets a known starting state.
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    const std::size_t before = events().size();
    const std::size_t crumbsBefore = breadcrumbs("lifecycle").size();
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    emit qApp->applicationStateChanged(Qt::ApplicationHidden);

    const auto lifecycle = events();
    ASSERT_EQ(lifecycle.size(), before + 2);
    EXPECT_EQ(lifecycle[before].eventType, "app_became_active");
    EXPECT_EQ(lifecycle[before].category, "lifecycle");
    EXPECT_EQ(lifecycle[before + 1].eventType, "app_will_resign_active");
    const auto crumbs = breadcrumbs("lifecycle");
    ASSERT_EQ(crumbs.size(), crumbsBefore + 2);
    EXPECT_EQ(crumbs[crumbsBefore].message, "App became active");
    EXPECT_EQ(crumbs[crumbsBefore + 1].message, "App will resign active");

    tracker.stopObserving();
    tracker.stopObserving();
    EXPECT_FALSE(tracker.isObserving());
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(events().size(), before + 2);
}

TEST_F(LifecycleTest, TheHooksObserveUntilTheClientStops) {
    startSdk();
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(events("app_became_active").size(), 1u);
    hooks_->stopLifecycleObserving();
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(events("app_became_active").size(), 1u);
    EXPECT_TRUE(events("app_will_resign_active").size() <= 1u);
}

TEST_F(LifecycleTest, TerminatingLeavesABreadcrumbAndSendsHealthBeforeAnalytics) {
    startSdk();
    Corvantesk::captureError("could not read attachment");
    Corvantesk::track("database_loaded", "scaling");
    {
        AppLifecycleTracker tracker;
        tracker.handleWillTerminate();
    } // waits for the send
    EXPECT_TRUE(events("app_will_terminate").empty());
    const auto crumbs = breadcrumbs("lifecycle");
    ASSERT_EQ(crumbs.size(), 1u);
    EXPECT_EQ(crumbs[0].message, "App will terminate");

    std::vector<std::string> paths;
    for (const auto& request : server_.requests()) {
        paths.push_back(request.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/api/v1/health/events", "/api/v1/analytics/events"}));
}

TEST_F(LifecycleTest, WithoutASharedClientNothingHappens) {
    AppLifecycleTracker tracker;
    tracker.handleApplicationStateChanged(Qt::ApplicationActive);
    tracker.handleWillTerminate();
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(LifecycleTest, TimedActionsAndFlagsReachTheSharedClient) {
    auto orphan = startTimedAction("before_start");
    orphan.complete(); // no client yet: dropped
    startSdk();
    const auto timed = startTimedAction("pdf_export", std::string("export"));
    timed.complete(AnyMap{{"pages", 2}});
    trackFeatureFlag("heic_previews", true, std::string("default"));
    const auto all = events();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].eventType, "pdf_export");
    EXPECT_EQ(all[0].category, "export");
    EXPECT_GE(all[0].duration.value_or(-1), 0);
    EXPECT_EQ(all[1].properties, (AnyMap{{"flagName", "heic_previews"}, {"value", true}, {"source", "default"}}));
}

TEST_F(LifecycleTest, HooksInstallFromAnyThreadAndAnswerTheScreenSizeWithoutWaiting) {
    const QSize size = QGuiApplication::primaryScreen()->size();
    const std::string expected = std::to_string(size.width()) + "x" + std::to_string(size.height());
    auto fromWorker = std::async(std::launch::async, [this] {
        hooks_->installAutoTracker(AutoTrackingSettings{true, false, true, false});
        return hooks_->screenResolution();
    });
    EXPECT_EQ(fromWorker.get(), expected);
    EXPECT_FALSE(MacOSAutoTracker::shared().isInstalled()); // queued to this (the UI) thread
    QApplication::processEvents();
    EXPECT_TRUE(MacOSAutoTracker::shared().isInstalled());
    EXPECT_FALSE(MacOSAutoTracker::shared().trackScreenViews);

    // Through the facade: the client's start installs the tracker with the options' settings.
    options_.analytics.autoTrackMenuClicks = false;
    startSdk();
    EXPECT_FALSE(MacOSAutoTracker::shared().trackMenuClicks);
    EXPECT_TRUE(MacOSAutoTracker::shared().trackScreenViews);
    Corvantesk::shutdown(std::chrono::seconds(1));
    EXPECT_FALSE(MacOSAutoTracker::shared().isInstalled());
}

} // namespace
} // namespace corvantesk::qttest
