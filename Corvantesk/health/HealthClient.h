#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "Corvantesk/core/CorvanteskOptions.h"
#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/health/BreadcrumbBuffer.h"
#include "Corvantesk/health/HealthEvent.h"
#include "Corvantesk/health/LogBuffer.h"
#include "platform/core/SerialWorker.h"

namespace corvantesk {

// The health half of the SDK: error captures, breadcrumbs, log lines, heartbeats and crash reports.
//
// Captures take the breadcrumbs and logs on the caller's thread and hand the event to the client's capture thread,
// which adds the device facts and state (read from /proc and /sys, never on the caller) and queues it on the
// "health" queue, which persists it and sends it in batches; they return at once and never fail.
// start() reports a crash left by the previous run (with the session id it names in the metadata), starts the
// queue's periodic flush, installs the crash handler and, when enabled, a heartbeat thread. stop() undoes all of
// that within a deadline.
//
// Every member may be called from any thread. The destructor stops the client.
class HealthClient {
public:
    using Clock = std::chrono::steady_clock;

    using DeviceStateReader = std::function<DeviceState()>;

    // `storage` must outlive the client. `readDeviceState` stands in for DeviceState::capture() (tests).
    HealthClient(CorvanteskOptions options, std::shared_ptr<const HttpTransport> transport,
                 Storage& storage = Storage::shared(), DeviceStateReader readDeviceState = {});
    ~HealthClient();

    HealthClient(const HealthClient&) = delete;
    HealthClient& operator=(const HealthClient&) = delete;

    // Once; a second call while running does nothing. Blocks briefly (the previous crash is queued first).
    void start();
    // Stops the heartbeat, removes the crash handler, sends what is queued until `deadline`, then stops the
    // queue's worker; what could not be sent by then stays in the queue file. Does nothing when not running.
    void stop(Clock::time_point deadline);
    void stop() { stop(Clock::now() + std::chrono::seconds(3)); }
    bool isRunning() const;
    // Sends what is queued now (captures made before the call included); blocks until the send has ended.
    void flush();
    // After stop(): writes the queue file a last time and lets a new client take it over (EventQueue::retire).
    void retireQueue();

    void captureError(const std::exception& error, std::optional<AnyMap> metadata = std::nullopt);
    // The metadata (or an empty map) gets "errorType" and "errorDescription" when an error is given.
    void captureError(const std::string& message, const std::exception* error = nullptr,
                      std::optional<AnyMap> metadata = std::nullopt);
    void captureWarning(const std::string& message, std::optional<AnyMap> metadata = std::nullopt);
    void captureInfo(const std::string& message, std::optional<AnyMap> metadata = std::nullopt);
    // Also adds a "network" breadcrumb for the URL after the event is handed over.
    void captureNetworkError(const std::string& url, std::optional<std::int64_t> statusCode = std::nullopt,
                             const std::exception* error = nullptr, std::optional<AnyMap> metadata = std::nullopt);
    void capture(HealthEvent event);

    void addBreadcrumb(Breadcrumb breadcrumb);
    void addBreadcrumb(const std::string& category, const std::string& message,
                       std::optional<AnyMap> data = std::nullopt);
    void addNavigationBreadcrumb(const std::string& from, const std::string& to);
    void addUserBreadcrumb(const std::string& message, const std::optional<std::string>& screen = std::nullopt);
    void addNetworkBreadcrumb(const std::string& method, const std::string& url,
                              std::optional<std::int64_t> statusCode = std::nullopt,
                              std::optional<double> durationSeconds = std::nullopt);
    void clearBreadcrumbs();
    std::vector<Breadcrumb> allBreadcrumbs() const;

    void log(LogLevel level, const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    void logDebug(const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    void logInfo(const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    void logWarning(const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    void logError(const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    void clearLogs();
    std::vector<LogEntry> allLogs() const;

    // Posts one heartbeat now and blocks for the answer; failures are only printed in debug mode.
    void sendHeartbeat(std::optional<AnyMap> metadata = std::nullopt, std::stop_token cancel = {});

    // Adds device facts, the buffers' contents (when the event has none) and the device state (option).
    void prepare(HealthEvent& event) const;

    // Events waiting to be sent, captures made before the call included (for tests and diagnostics).
    std::vector<HealthEvent> pendingEvents() const;
    const std::shared_ptr<BreadcrumbBuffer>& breadcrumbBuffer() const { return breadcrumbs_; }
    const std::shared_ptr<LogBuffer>& logBuffer() const { return logs_; }
    const CorvanteskOptions& options() const { return options_; }

private:
    using Queue = EventQueue<HealthEvent>;

    static bool sendBatch(const CorvanteskOptions& options, const HttpTransport& transport, Storage& storage,
                          const std::vector<HealthEvent>& batch, std::stop_token cancel,
                          Queue::Clock::time_point deadline);
    void checkForPreviousCrash();
    void heartbeatLoop(std::stop_token stop);
    // The two halves of prepare(): what only the caller's moment knows, and what is read from the system.
    void addTrail(HealthEvent& event) const;
    void addDeviceFacts(HealthEvent& event) const;
    // Lets the captures handed over so far reach the queue.
    void waitForCaptures(Clock::time_point deadline) const;

    const CorvanteskOptions options_;
    const std::shared_ptr<const HttpTransport> transport_;
    Storage& storage_;
    const std::shared_ptr<BreadcrumbBuffer> breadcrumbs_;
    const std::shared_ptr<LogBuffer> logs_;
    std::shared_ptr<Queue> queue_; // shared with the crash callback, which holds it weakly
    const DeviceStateReader readDeviceState_;
    mutable platform::OnDemandWorker captures_{"cvk-captures"}; // after queue_: ends first, queuing what it still holds

    std::mutex lifecycleMutex_; // held through start() and stop(), so they never interleave
    mutable std::mutex mutex_;  // guards running_ and heartbeat_
    bool running_ = false;
    std::jthread heartbeat_;
};

} // namespace corvantesk
