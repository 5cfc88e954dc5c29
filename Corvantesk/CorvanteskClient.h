#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Corvantesk/analytics/AnalyticsClient.h"
#include "Corvantesk/analytics/PlatformHooks.h"
#include "Corvantesk/analytics/SessionClock.h"
#include "Corvantesk/core/CorvanteskOptions.h"
#include "Corvantesk/core/FeedbackClient.h"
#include "Corvantesk/core/HttpClient.h"
#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/health/HealthClient.h"

namespace corvantesk {

// What a client is built on besides its options. The defaults are the real ones; tests pass their own.
struct ClientEnvironment {
    Storage* storage = nullptr;           // Storage::shared() when null; must outlive the client
    std::shared_ptr<PlatformHooks> hooks; // the UI layer's hooks; doing nothing when null
    SessionClock clock = SessionClock::system();
    std::shared_ptr<HttpClient> httpClient; // libcurl when null
};

// One SDK instance: one transport shared by its health, analytics and feedback clients, started and stopped in a
// fixed order. Building starts nothing (beyond loading the queue files and handing the new session to Storage,
// whose own thread writes it); start() starts health, then analytics and the automatic tracker, then life-cycle
// observing; shutdown() undoes it in reverse within a deadline. A stopped client can be started again. The
// destructor shuts the client down.
//
// Every member may be called from any thread; start() and shutdown() block (briefly, and at most until the
// deadline), so call them off the UI thread.
class CorvanteskClient {
public:
    explicit CorvanteskClient(CorvanteskOptions options, ClientEnvironment environment = {});
    ~CorvanteskClient();

    CorvanteskClient(const CorvanteskClient&) = delete;
    CorvanteskClient& operator=(const CorvanteskClient&) = delete;

    // Once per stopped state; a second call does nothing.
    void start();
    // Stops everything and joins every SDK thread of this client by `deadline` from now; events that could not
    // be sent stay in their queue files. Does nothing when not started.
    void shutdown(std::chrono::milliseconds deadline = std::chrono::seconds(3));
    bool isStarted() const;
    // Sends the health queue, then the analytics queue; blocks until both sends have ended.
    void flush();
    // Shuts down, writes the queue files a last time and lets go of them, so a client built next can own them.
    // Events recorded on this client afterwards are dropped.
    void retire();

    HealthClient& health() { return *health_; }
    AnalyticsClient& analytics() { return *analytics_; }
    // Shared, so a caller may keep it while the client is replaced.
    std::shared_ptr<FeedbackClient> feedback() const { return feedback_; }
    const CorvanteskOptions& options() const { return options_; }
    bool isTest() const { return options_.isTest; }

    void setUserId(const std::optional<std::string>& userId);
    std::optional<std::string> userId() const;
    std::string sessionId();
    void setConsent(bool granted);
    std::optional<bool> consent() const;

private:
    void configureAutoTracking();

    const CorvanteskOptions options_;
    const std::shared_ptr<PlatformHooks> hooks_;
    const std::shared_ptr<const HttpTransport> transport_;
    std::unique_ptr<HealthClient> health_;
    std::unique_ptr<AnalyticsClient> analytics_;
    std::shared_ptr<FeedbackClient> feedback_;

    std::mutex lifecycleMutex_; // held through start() and shutdown(), so they never interleave
    mutable std::mutex mutex_;  // guards the two flags below
    bool started_ = false;
    bool observingLifecycle_ = false;
};

} // namespace corvantesk
