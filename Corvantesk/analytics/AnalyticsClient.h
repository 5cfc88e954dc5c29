#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Corvantesk/analytics/AnalyticsEvent.h"
#include "Corvantesk/analytics/PlatformHooks.h"
#include "Corvantesk/analytics/SessionManager.h"
#include "Corvantesk/core/CorvanteskOptions.h"
#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/core/Storage.h"

namespace corvantesk {

// What the analytics client is built on besides its options and transport. Tests pass their own.
struct AnalyticsEnvironment {
    Storage* storage = nullptr;           // Storage::shared() when null; must outlive the client
    std::shared_ptr<PlatformHooks> hooks; // the screen size; nothing when null
    SessionClock clock = SessionClock::system();
    SessionManager::ChangeObserver onSessionChange; // told every new session id
};

// Records usage events and ships them in batches. Every tracking call checks the enabled switch, touches the
// session, applies the PHI-safe filter, builds the event and hands it to the "analytics" queue; it does no
// input or output and never fails. The queue persists the events and sends batches shaped by the effective
// collection mode: anonymous batches carry no device id and a fresh anonymous user id, identified ones the
// device id. The stored user id travels in both.
//
// Every member may be called from any thread. The client's lock guards the user id, the consent and the
// current screen only, and is never held while calling out. The destructor stops the client.
class AnalyticsClient {
public:
    using Clock = std::chrono::steady_clock;
    // Longer property texts are cut to this many bytes when they are recorded.
    static constexpr std::size_t kMaxPropertyTextBytes = 8 * 1024;

    AnalyticsClient(CorvanteskOptions options, std::shared_ptr<const HttpTransport> transport,
                    AnalyticsEnvironment environment = {});
    ~AnalyticsClient();

    AnalyticsClient(const AnalyticsClient&) = delete;
    AnalyticsClient& operator=(const AnalyticsClient&) = delete;

    // Starts the queue's periodic flush (once).
    void start();
    // Sends what is queued until `deadline`, then stops the periodic flush; unsent events stay in the queue
    // file. Sends nothing when the client was never started.
    void stop(Clock::time_point deadline);
    void stop() { stop(Clock::now() + std::chrono::seconds(3)); }
    // Sends what is queued now; blocks until the send has ended.
    void flush();
    // After stop(): writes the queue file a last time and lets a new client take it over (EventQueue::retire).
    void retireQueue() { queue_->retire(); }

    DataCollectionMode effectiveCollectionMode() const;
    bool isAnonymous() const { return effectiveCollectionMode() == DataCollectionMode::anonymous; }
    bool isIdentified() const { return effectiveCollectionMode() == DataCollectionMode::identified; }

    void setConsent(bool granted);
    std::optional<bool> consent() const;
    bool hasMadeConsentChoice() const;
    void resetConsent();

    void setUserId(const std::optional<std::string>& userId);
    std::optional<std::string> userId() const;

    std::string sessionId();
    std::string startNewSession();
    void setSessionId(const std::string& id);
    SessionManager& sessionManager() { return sessions_; }

    void trackScreenView(const std::string& screen, const std::optional<std::string>& label = std::nullopt,
                         std::optional<AnyMap> properties = std::nullopt);
    void trackButtonClick(const std::string& elementId, const std::optional<std::string>& label = std::nullopt,
                          const std::optional<std::string>& screen = std::nullopt,
                          std::optional<AnyMap> properties = std::nullopt);
    void trackFeature(const std::string& featureName, const std::optional<std::string>& category = std::nullopt,
                      std::optional<AnyMap> properties = std::nullopt);
    void track(const std::string& eventType, const std::optional<std::string>& category = std::nullopt,
               const std::optional<std::string>& screen = std::nullopt,
               std::optional<AnyMap> properties = std::nullopt);
    void trackTimed(const std::string& eventType, std::int64_t durationMilliseconds,
                    const std::optional<std::string>& category = std::nullopt,
                    std::optional<AnyMap> properties = std::nullopt);
    void trackSearch(const std::string& query, std::optional<std::int64_t> resultsCount = std::nullopt,
                     const std::optional<std::string>& screen = std::nullopt);
    void trackConversion(const std::string& name, std::optional<double> value = std::nullopt,
                         const std::optional<std::string>& currency = std::nullopt,
                         std::optional<AnyMap> properties = std::nullopt);

    // The screen of the latest screen view, if any.
    std::optional<std::string> currentScreen() const;
    // Events waiting to be sent (for tests and diagnostics).
    std::vector<AnalyticsEvent> pendingEvents() const;
    const CorvanteskOptions& options() const { return options_; }

    // The mode for these options and this consent (absent: no choice made).
    static DataCollectionMode collectionMode(const AnalyticsOptions& options, std::optional<bool> consent);

private:
    using Queue = EventQueue<AnalyticsEvent>;

    static bool sendBatch(const CorvanteskOptions& options, const HttpTransport& transport, Storage& storage,
                          PlatformHooks* hooks, const std::vector<AnalyticsEvent>& batch, std::stop_token cancel,
                          Queue::Clock::time_point deadline);
    // The steps every tracking call shares after its own screen handling.
    void record(std::string sessionId, AnalyticsEvent event); // the id the tracking call touched
    std::optional<AnyMap> filtered(std::optional<AnyMap> properties) const;

    const CorvanteskOptions options_;
    const std::shared_ptr<const HttpTransport> transport_;
    Storage& storage_;
    const std::shared_ptr<PlatformHooks> hooks_;
    SessionManager sessions_;
    std::unique_ptr<Queue> queue_;

    mutable std::mutex mutex_; // guards the four fields below
    std::optional<std::string> userId_;
    std::optional<bool> consent_;
    std::optional<std::string> currentScreen_;
    bool started_ = false;
};

} // namespace corvantesk
