#include "Corvantesk/analytics/AnalyticsClient.h"

#include <future>
#include <utility>

#include "Corvantesk/analytics/PrivacyFilter.h"
#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/DeviceInfo.h"
#include "platform/core/SignalStack.h"
#include "platform/core/Uuid.h"

namespace corvantesk {

AnalyticsClient::AnalyticsClient(CorvanteskOptions options, std::shared_ptr<const HttpTransport> transport,
                                 AnalyticsEnvironment environment)
    : options_(std::move(options)), transport_(std::move(transport)),
      storage_(environment.storage != nullptr ? *environment.storage : Storage::shared()),
      hooks_(environment.hooks ? environment.hooks : std::make_shared<PlatformHooks>()),
      sessions_(storage_, options_.analytics.sessionTimeout, std::move(environment.clock),
                std::move(environment.onSessionChange)) {
    userId_ = storage_.userId();
    consent_ = storage_.consent();
    // The sender holds its own copies, never the client.
    auto send = [options = options_, transport = transport_, &storage = storage_,
                 hooks = hooks_](const std::vector<AnalyticsEvent>& batch, std::stop_token cancel,
                                 Queue::Clock::time_point deadline) {
        return sendBatch(options, *transport, storage, hooks.get(), batch, std::move(cancel), deadline);
    };
    queue_ = std::make_unique<Queue>("analytics", options_.batchSize, options_.flushInterval,
                                     options_.maxOfflineQueueSize, options_.debug, std::move(send), storage_);
    // The session's last activity is stored from the queue's writer thread, never by a tracking call.
    queue_->setHousekeeping([sessions = &sessions_] { return sessions->persistActivityIfDue(); });
}

AnalyticsClient::~AnalyticsClient() {
    stop();
    sessions_.persistActivity();
}

void AnalyticsClient::start() {
    {
        std::lock_guard lock(mutex_);
        started_ = true;
    }
    queue_->startAutoFlush();
    debugLine(options_.debug,
              "Analytics client started (mode: " + std::string(rawValue(effectiveCollectionMode())) + ")");
}

void AnalyticsClient::stop(Clock::time_point deadline) {
    {
        std::lock_guard lock(mutex_);
        if (!started_) {
            return;
        }
        started_ = false;
    }
    // Flush while the worker still runs, so that stopping it cancels a send that outlasts the deadline; the
    // events of a cancelled send stay in the queue file.
    auto flushed = std::async(std::launch::async, [queue = queue_.get(), deadline] {
        platform::ThreadSignalStack signalStack;
        queue->flush(deadline);
    });
    flushed.wait_until(deadline);
    queue_->stopAutoFlush();
    flushed.wait();
    sessions_.persistActivity();
    debugLine(options_.debug, "Analytics client stopped");
}

void AnalyticsClient::flush() {
    queue_->flush();
}

DataCollectionMode AnalyticsClient::collectionMode(const AnalyticsOptions& options, std::optional<bool> consent) {
    if (options.consentMode == ConsentMode::none) {
        return options.collectionMode;
    }
    return consent.value_or(false) ? DataCollectionMode::identified : DataCollectionMode::anonymous;
}

DataCollectionMode AnalyticsClient::effectiveCollectionMode() const {
    std::lock_guard lock(mutex_);
    return collectionMode(options_.analytics, consent_);
}

void AnalyticsClient::setConsent(bool granted) {
    {
        std::lock_guard lock(mutex_);
        consent_ = granted;
    }
    storage_.setConsent(granted);
    debugLine(options_.debug, std::string("Consent set to ") + (granted ? "true" : "false") +
                                  ", effective mode: " + rawValue(effectiveCollectionMode()));
}

std::optional<bool> AnalyticsClient::consent() const {
    std::lock_guard lock(mutex_);
    return consent_;
}

bool AnalyticsClient::hasMadeConsentChoice() const {
    return storage_.defaults().boolean(storage_keys::consentChoiceMade).value_or(false);
}

void AnalyticsClient::resetConsent() {
    {
        std::lock_guard lock(mutex_);
        consent_.reset();
    }
    storage_.clearConsent();
}

void AnalyticsClient::setUserId(const std::optional<std::string>& userId) {
    {
        std::lock_guard lock(mutex_);
        userId_ = userId;
    }
    storage_.setUserId(userId);
}

std::optional<std::string> AnalyticsClient::userId() const {
    std::lock_guard lock(mutex_);
    return userId_;
}

std::string AnalyticsClient::sessionId() {
    return sessions_.sessionId();
}

std::string AnalyticsClient::startNewSession() {
    return sessions_.startNewSession();
}

void AnalyticsClient::setSessionId(const std::string& id) {
    sessions_.setSession(id);
}

std::optional<std::string> AnalyticsClient::currentScreen() const {
    std::lock_guard lock(mutex_);
    return currentScreen_;
}

std::vector<AnalyticsEvent> AnalyticsClient::pendingEvents() const {
    return queue_->events();
}

std::optional<AnyMap> AnalyticsClient::filtered(std::optional<AnyMap> properties) const {
    if (properties && options_.analytics.phiSafeMode) {
        removeProtectedProperties(*properties);
    }
    if (properties) {
        // One long text would make an event too large for any request; it is cut here, as it is recorded.
        cutLongTexts(*properties, kMaxPropertyTextBytes);
    }
    return properties;
}

void AnalyticsClient::record(std::string sessionId, AnalyticsEvent event) {
    event.sessionId = std::move(sessionId);
    event.userId = userId();
    queue_->enqueue(std::move(event));
}

void AnalyticsClient::trackScreenView(const std::string& screen, const std::optional<std::string>& label,
                                      std::optional<AnyMap> properties) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    std::optional<std::string> referrer;
    {
        std::lock_guard lock(mutex_);
        referrer = std::exchange(currentScreen_, screen);
    }
    record(std::move(session),
           AnalyticsEvent::screenView(screen, label, {}, referrer, filtered(std::move(properties))));
}

void AnalyticsClient::trackButtonClick(const std::string& elementId, const std::optional<std::string>& label,
                                       const std::optional<std::string>& screen, std::optional<AnyMap> properties) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    const auto where = screen ? screen : currentScreen();
    record(std::move(session),
           AnalyticsEvent::buttonClick(elementId, label, where, {}, filtered(std::move(properties))));
}

void AnalyticsClient::trackFeature(const std::string& featureName, const std::optional<std::string>& category,
                                   std::optional<AnyMap> properties) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    record(std::move(session), AnalyticsEvent::featureUsed(featureName, category, {}, filtered(std::move(properties))));
}

void AnalyticsClient::track(const std::string& eventType, const std::optional<std::string>& category,
                            const std::optional<std::string>& screen, std::optional<AnyMap> properties) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    const auto where = screen ? screen : currentScreen();
    record(std::move(session),
           AnalyticsEvent::custom(eventType, category, {}, where, std::nullopt, filtered(std::move(properties))));
}

void AnalyticsClient::trackTimed(const std::string& eventType, std::int64_t durationMilliseconds,
                                 const std::optional<std::string>& category, std::optional<AnyMap> properties) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    record(std::move(session), AnalyticsEvent::timed(eventType, durationMilliseconds, category, {}, std::nullopt,
                                                     filtered(std::move(properties))));
}

void AnalyticsClient::trackSearch(const std::string& query, std::optional<std::int64_t> resultsCount,
                                  const std::optional<std::string>& screen) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    const auto where = screen ? screen : currentScreen();
    record(std::move(session),
           AnalyticsEvent::search(options_.analytics.phiSafeMode ? "[REDACTED]" : query, resultsCount, {}, where));
}

void AnalyticsClient::trackConversion(const std::string& name, std::optional<double> value,
                                      const std::optional<std::string>& currency, std::optional<AnyMap> properties) {
    if (!options_.analytics.enabled) {
        return;
    }
    std::string session = sessions_.touch();
    record(std::move(session), AnalyticsEvent::conversion(name, value, currency, {}, filtered(std::move(properties))));
}

bool AnalyticsClient::sendBatch(const CorvanteskOptions& options, const HttpTransport& transport, Storage& storage,
                                PlatformHooks* hooks, const std::vector<AnalyticsEvent>& batch, std::stop_token cancel,
                                Queue::Clock::time_point deadline) {
    // The consent as stored at this moment: the batch goes out as the user last decided.
    const auto mode = collectionMode(options.analytics, storage.consent());
    const bool identified = mode == DataCollectionMode::identified;
    const auto device = DeviceInfo::current(identified, options.deviceId, options.appVersion, storage);

    AnalyticsBatchPayload payload;
    payload.batchId = platform::makeUuidString();
    payload.appIdentifier = options.appId;
    payload.deviceInfo =
        AnalyticsDeviceInfo::make(device.deviceId, device.deviceModel, device.platform, device.osVersion,
                                  device.appVersion, hooks != nullptr ? hooks->screenResolution() : std::nullopt);
    payload.userId = storage.userId();
    if (!identified) {
        payload.anonymousUserId = platform::makeUuidString();
    }
    payload.isTest = options.isTest;
    payload.environment = options.environment;
    payload.sentAt = platform::AbsoluteTime::now();
    payload.events.reserve(batch.size());
    for (const auto& event : batch) {
        payload.events.push_back(event.toPayload());
    }
    return transport.sendAnalyticsEvents(payload, std::move(cancel), deadline);
}

} // namespace corvantesk
