#pragma once

#include <functional>
#include <optional>
#include <string>

namespace corvantesk {

// What the automatic tracker should record; taken from AnalyticsOptions when the client starts.
struct AutoTrackingSettings {
    bool trackButtonClicks = true;
    bool trackScreenViews = true;
    bool trackMenuClicks = true;
    bool debugLogging = false;
};

// The SDK's only way into the user interface (the automatic tracker, the application life-cycle and
// the screen). The UI layer provides an implementation; the default does nothing, so the SDK core runs
// and is tested without a display.
//
// Threads: installAutoTracker, uninstallAutoTracker, startLifecycleObserving and stopLifecycleObserving
// are called from whatever thread starts or shuts down the client; an implementation moves the work to
// its UI thread itself (runOnUiThread). screenResolution is called from the analytics queue's sending
// thread and must not block on the UI thread.
class PlatformHooks {
public:
    virtual ~PlatformHooks() = default;

    virtual void installAutoTracker(const AutoTrackingSettings&) {}
    virtual void uninstallAutoTracker() {}
    virtual void startLifecycleObserving() {}
    virtual void stopLifecycleObserving() {}
    // The main screen's size as "<width>x<height>" in whole points; nullopt without a screen.
    virtual std::optional<std::string> screenResolution() { return std::nullopt; }
    // Runs `work` on the UI thread, without waiting. The default runs it at once on the caller's thread.
    virtual void runOnUiThread(std::function<void()> work) { work(); }
};

} // namespace corvantesk
