#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Corvantesk/analytics/PlatformHooks.h"

namespace corvantesk {

// The SDK's way into a Qt Widgets application: the automatic tracker (MacOSAutoTracker), the application
// life-cycle (AppLifecycleTracker) and the primary screen's size. Wire it up once, after the QApplication
// exists and before Corvantesk::initialize():
//
//     Corvantesk::setPlatformHooks(std::make_shared<QtPlatformHooks>());
//
// Make and destroy it on the UI thread. Every hook may then be called from any thread: UI work is queued to
// the UI thread (or done at once when already on it); screenResolution() answers from a value kept up to
// date on the UI thread and never waits for it.
class QtPlatformHooks : public PlatformHooks {
public:
    QtPlatformHooks();
    ~QtPlatformHooks() override;

    QtPlatformHooks(const QtPlatformHooks&) = delete;
    QtPlatformHooks& operator=(const QtPlatformHooks&) = delete;

    void installAutoTracker(const AutoTrackingSettings& settings) override;
    void uninstallAutoTracker() override;
    void startLifecycleObserving() override;
    void stopLifecycleObserving() override;
    std::optional<std::string> screenResolution() override;
    // Without an application object there is no UI thread, and the work is dropped.
    void runOnUiThread(std::function<void()> work) override;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace corvantesk
