#include "Corvantesk/CorvanteskClient.h"

#include <future>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/health/FatalSignals.h"
#include "platform/core/SignalStack.h"

namespace corvantesk {
namespace {

const char* text(bool value) {
    return value ? "true" : "false";
}

std::shared_ptr<const HttpTransport> makeTransport(const CorvanteskOptions& options,
                                                   const std::shared_ptr<HttpClient>& httpClient) {
    return std::make_shared<HttpTransport>(options.baseUrl, options.appId, options.apiKey, options.debug,
                                           HttpTransport::Settings{}, httpClient);
}

} // namespace

CorvanteskClient::CorvanteskClient(CorvanteskOptions options, ClientEnvironment environment)
    : options_(std::move(options)), hooks_(environment.hooks ? environment.hooks : std::make_shared<PlatformHooks>()),
      transport_(makeTransport(options_, environment.httpClient)) {
    Storage& storage = environment.storage != nullptr ? *environment.storage : Storage::shared();
    health_ = std::make_unique<HealthClient>(options_, transport_, storage);

    AnalyticsEnvironment analytics;
    analytics.storage = &storage;
    analytics.hooks = hooks_;
    analytics.clock = std::move(environment.clock);
    // The crash marker names the session current at the crash; the signal handler can only read it from here.
    analytics.onSessionChange = [](const std::string& id) { CrashSessionSlot::publish(id); };
    analytics_ = std::make_unique<AnalyticsClient>(options_, transport_, std::move(analytics));

    feedback_ = std::make_shared<FeedbackClient>(options_, transport_, storage);
}

CorvanteskClient::~CorvanteskClient() {
    shutdown();
}

void CorvanteskClient::start() {
    std::lock_guard lifecycle(lifecycleMutex_);
    {
        std::lock_guard lock(mutex_);
        if (started_) {
            return;
        }
        started_ = true;
    }
    if (options_.health.enabled) {
        health_->start();
    }
    if (options_.analytics.enabled) {
        analytics_->start();
        if (options_.analytics.enableAutoTracking) {
            configureAutoTracking();
        }
    }
    hooks_->startLifecycleObserving();
    {
        std::lock_guard lock(mutex_);
        observingLifecycle_ = true;
    }
    debugLine(options_.debug, "SDK started (appId: " + options_.appId + ", test: " + text(options_.isTest) +
                                  ", autoTracking: " + text(options_.analytics.enableAutoTracking) + ")");
}

void CorvanteskClient::configureAutoTracking() {
    AutoTrackingSettings settings;
    settings.trackButtonClicks = options_.analytics.autoTrackButtonClicks;
    settings.trackScreenViews = options_.analytics.autoTrackScreenViews;
    settings.trackMenuClicks = options_.analytics.autoTrackMenuClicks;
    settings.debugLogging = options_.analytics.autoTrackingDebugLogging || options_.debug;
    hooks_->installAutoTracker(settings);
    debugLine(options_.debug, std::string("Auto-tracking enabled: buttons=") + text(settings.trackButtonClicks) +
                                  ", screens=" + text(settings.trackScreenViews) +
                                  ", menus=" + text(settings.trackMenuClicks));
}

void CorvanteskClient::shutdown(std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::lock_guard lifecycle(lifecycleMutex_);
    bool observing = false;
    {
        std::lock_guard lock(mutex_);
        if (!started_) {
            return;
        }
        started_ = false;
        observing = std::exchange(observingLifecycle_, false);
    }
    if (observing) {
        hooks_->stopLifecycleObserving();
    }
    hooks_->uninstallAutoTracker();
    // Both queues send their last batch at the same time, so neither waits for the other's deadline.
    auto healthStopped = std::async(std::launch::async, [this, until] {
        platform::ThreadSignalStack signalStack;
        health_->stop(until);
    });
    analytics_->stop(until);
    healthStopped.wait();
    debugLine(options_.debug, "SDK shutdown complete");
}

bool CorvanteskClient::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void CorvanteskClient::flush() {
    health_->flush();
    analytics_->flush();
}

void CorvanteskClient::retire() {
    shutdown();
    health_->retireQueue();
    analytics_->retireQueue();
}

void CorvanteskClient::setUserId(const std::optional<std::string>& userId) {
    analytics_->setUserId(userId);
}

std::optional<std::string> CorvanteskClient::userId() const {
    return analytics_->userId();
}

std::string CorvanteskClient::sessionId() {
    return analytics_->sessionId();
}

void CorvanteskClient::setConsent(bool granted) {
    analytics_->setConsent(granted);
}

std::optional<bool> CorvanteskClient::consent() const {
    return analytics_->consent();
}

} // namespace corvantesk
