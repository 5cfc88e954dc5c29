#include "Corvantesk/health/HealthClient.h"

#include <condition_variable>
#include <cstdio>
#include <future>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/DeviceInfo.h"
#include "Corvantesk/core/OptionLimits.h"
#include "Corvantesk/health/CrashHandler.h"
#include "Corvantesk/health/ErrorDescription.h"
#include "Corvantesk/health/FatalSignals.h"
#include "Corvantesk/health/RecordedText.h"
#include "platform/core/SignalStack.h"
#include "platform/core/Uuid.h"

namespace corvantesk {
namespace {

constexpr double kDefaultHeartbeatInterval = 300.0;
constexpr double kMinHeartbeatInterval = 10.0;

// The same marker always gives the same event id, in the UUID text form of every SDK id.
std::string crashEventId(const CrashMarker& marker) {
    const std::string key = plainDecimal(marker.timestamp) + '\n' + marker.signalOrException + '\n' + marker.message +
                            '\n' + marker.sessionId.value_or("");
    auto fnv = [&key](std::uint64_t hash) {
        for (const unsigned char c : key) {
            hash = (hash ^ c) * 0x100000001b3ULL;
        }
        return hash;
    };
    const std::uint64_t high = fnv(0xcbf29ce484222325ULL);
    const std::uint64_t low = fnv(0x84222325cbf29ce4ULL);
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xffff), static_cast<unsigned>(0x8000 | (high & 0x0fff)),
                  static_cast<unsigned>(0x8000 | (low >> 48 & 0x3fff)),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

} // namespace

HealthClient::HealthClient(CorvanteskOptions options, std::shared_ptr<const HttpTransport> transport, Storage& storage,
                           DeviceStateReader readDeviceState)
    : options_(std::move(options)), transport_(std::move(transport)), storage_(storage),
      breadcrumbs_(std::make_shared<BreadcrumbBuffer>(options_.health.maxBreadcrumbs)),
      logs_(std::make_shared<LogBuffer>(options_.health.maxLogEntries)),
      readDeviceState_(readDeviceState ? std::move(readDeviceState) : DeviceStateReader(&DeviceState::capture)) {
    // The sender holds its own copies, never the client.
    auto send = [options = options_, transport = transport_, &storage](
                    const std::vector<HealthEvent>& batch, std::stop_token cancel, Queue::Clock::time_point deadline) {
        return sendBatch(options, *transport, storage, batch, std::move(cancel), deadline);
    };
    queue_ = std::make_shared<Queue>("health", options_.batchSize, options_.flushInterval, options_.maxOfflineQueueSize,
                                     options_.debug, std::move(send), storage_);
}

HealthClient::~HealthClient() {
    stop();
}

void HealthClient::start() {
    std::lock_guard lifecycle(lifecycleMutex_);
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            return;
        }
        running_ = true;
    }
    checkForPreviousCrash();
    queue_->startAutoFlush();

    if (options_.health.captureUnhandledExceptions) {
        CrashSessionSlot::publish(storage_.sessionId().value_or(""));
        CrashHandler::Settings settings;
        settings.breadcrumbs = breadcrumbs_;
        settings.logs = logs_;
        settings.captureDeviceState = options_.health.captureDeviceState;
        settings.includeStackTrace = options_.health.includeStackTrace;
        settings.maxStackTraceLength = effectiveStackLength(options_.health.maxStackTraceLength);
        // Saved through the queue, so the queue's own later writes keep it. Weak: the handler may outlive us.
        settings.onCrash = [weakQueue = std::weak_ptr<Queue>(queue_),
                            debug = options_.debug](const HealthEvent& event) {
            if (auto queue = weakQueue.lock()) {
                queue->enqueue(event);
                queue->persist();
                debugLine(debug, "Crash captured and persisted");
            }
        };
        CrashHandler::shared().install(this, std::move(settings), storage_.makeCrashMarkerWriter());
    }

    if (options_.health.enableHeartbeat) {
        std::lock_guard lock(mutex_);
        if (running_ && !heartbeat_.joinable()) {
            heartbeat_ = std::jthread([this](std::stop_token stop) { heartbeatLoop(std::move(stop)); });
        }
    }
    debugLine(options_.debug, "Health client started");
}

void HealthClient::stop(Clock::time_point deadline) {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::jthread heartbeat;
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;
        }
        running_ = false;
        heartbeat = std::move(heartbeat_);
    }
    if (heartbeat.joinable()) {
        heartbeat.request_stop();
        heartbeat.join();
    }
    CrashHandler::shared().uninstall(this);
    waitForCaptures(deadline);

    // Send what is queued while the worker still runs, so that stopping it cancels a send that outlasts the
    // deadline; the events of a cancelled send stay in the queue file.
    auto flushed = std::async(std::launch::async, [queue = queue_, deadline] {
        platform::ThreadSignalStack signalStack;
        queue->flush(deadline);
    });
    flushed.wait_until(deadline);
    queue_->stopAutoFlush();
    flushed.wait();
    debugLine(options_.debug, "Health client stopped");
}

bool HealthClient::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void HealthClient::retireQueue() {
    waitForCaptures(Clock::time_point::max()); // what was captured before goes into the file the next client reads
    queue_->retire();
}

void HealthClient::flush() {
    waitForCaptures(Clock::time_point::max());
    queue_->flush();
}

void HealthClient::waitForCaptures(Clock::time_point deadline) const {
    const auto left = deadline == Clock::time_point::max()
                          ? std::chrono::milliseconds(std::chrono::hours(1))
                          : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    captures_.waitForIdle(std::max(left, std::chrono::milliseconds(0)));
}

void HealthClient::checkForPreviousCrash() {
    auto marker = storage_.readCrashMarker();
    if (!marker) {
        return;
    }
    debugLine(options_.debug, "Found crash marker from previous session: " + marker->signalOrException);
    HealthEvent event;
    event.id = crashEventId(*marker);
    event.eventTimestamp = platform::AbsoluteTime::fromUnixSeconds(marker->timestamp);
    event.eventType = "crash";
    event.level = "crash";
    event.message = marker->message;
    event.exceptionType = marker->signalOrException;
    if (marker->sessionId && !marker->sessionId->empty()) {
        event.metadata = AnyMap{{"sessionId", *marker->sessionId}}; // the session the crash ended
    }
    queue_->enqueue(std::move(event));
    // The marker goes only once its event is on disk: a crash in between reads it again at the next start and
    // queues the same event id, which the service drops as a duplicate.
    if (queue_->persist()) {
        storage_.removeCrashMarker();
    }
}

void HealthClient::prepare(HealthEvent& event) const {
    addDeviceFacts(event);
    addTrail(event);
}

void HealthClient::addDeviceFacts(HealthEvent& event) const {
    const auto device = DeviceInfo::current(true, options_.deviceId, options_.appVersion, storage_);
    event.deviceId = device.deviceId;
    event.appVersion = device.appVersion;
    event.osVersion = device.osVersion;
    event.deviceModel = device.deviceModel;
    if (!event.deviceState && options_.health.captureDeviceState) {
        event.deviceState = readDeviceState_();
    }
}

void HealthClient::addTrail(HealthEvent& event) const {
    if (!event.breadcrumbs) {
        auto trail = breadcrumbs_->all();
        if (!trail.empty()) {
            event.breadcrumbs = std::move(trail);
        }
    }
    if (!event.logs) {
        auto lines = logs_->all();
        if (!lines.empty()) {
            event.logs = std::move(lines);
        }
    }
}

void HealthClient::capture(HealthEvent event) {
    if (event.metadata) {
        limitRecordedValues(*event.metadata);
    }
    addTrail(event); // the trail as it is at the capture
    captures_.post([this, event = std::move(event)](std::stop_token) mutable {
        addDeviceFacts(event);
        queue_->enqueue(std::move(event));
    });
}

void HealthClient::captureError(const std::exception& error, std::optional<AnyMap> metadata) {
    capture(HealthEvent::error(error, std::move(metadata)));
}

void HealthClient::captureError(const std::string& message, const std::exception* error,
                                std::optional<AnyMap> metadata) {
    AnyMap merged = metadata.value_or(AnyMap{});
    if (error != nullptr) {
        merged["errorType"] = errorTypeName(*error);
        merged["errorDescription"] = errorDescription(*error);
    }
    capture(HealthEvent::error(message, std::move(merged)));
}

void HealthClient::captureWarning(const std::string& message, std::optional<AnyMap> metadata) {
    capture(HealthEvent::warning(message, std::move(metadata)));
}

void HealthClient::captureInfo(const std::string& message, std::optional<AnyMap> metadata) {
    capture(HealthEvent::info(message, std::move(metadata)));
}

void HealthClient::captureNetworkError(const std::string& url, std::optional<std::int64_t> statusCode,
                                       const std::exception* error, std::optional<AnyMap> metadata) {
    capture(HealthEvent::networkError(url, statusCode, error, std::move(metadata)));
    AnyMap data{{"method", "?"}, {"url", url}};
    if (statusCode) {
        data["statusCode"] = *statusCode;
    }
    breadcrumbs_->add(Breadcrumb("network", "? " + url, std::move(data)));
}

void HealthClient::addBreadcrumb(Breadcrumb breadcrumb) {
    breadcrumbs_->add(std::move(breadcrumb));
}

void HealthClient::addBreadcrumb(const std::string& category, const std::string& message, std::optional<AnyMap> data) {
    breadcrumbs_->add(Breadcrumb(category, message, std::move(data)));
}

void HealthClient::addNavigationBreadcrumb(const std::string& from, const std::string& to) {
    breadcrumbs_->add(Breadcrumb::navigation(from, to));
}

void HealthClient::addUserBreadcrumb(const std::string& message, const std::optional<std::string>& screen) {
    breadcrumbs_->add(Breadcrumb::user(message, screen));
}

void HealthClient::addNetworkBreadcrumb(const std::string& method, const std::string& url,
                                        std::optional<std::int64_t> statusCode, std::optional<double> durationSeconds) {
    breadcrumbs_->add(Breadcrumb::network(method, url, statusCode, durationSeconds));
}

void HealthClient::clearBreadcrumbs() {
    breadcrumbs_->clear();
}

std::vector<Breadcrumb> HealthClient::allBreadcrumbs() const {
    return breadcrumbs_->all();
}

void HealthClient::log(LogLevel level, const std::string& message, const std::optional<std::string>& tag) {
    logs_->log(level, message, tag);
}
void HealthClient::logDebug(const std::string& message, const std::optional<std::string>& tag) {
    log(LogLevel::debug, message, tag);
}
void HealthClient::logInfo(const std::string& message, const std::optional<std::string>& tag) {
    log(LogLevel::info, message, tag);
}
void HealthClient::logWarning(const std::string& message, const std::optional<std::string>& tag) {
    log(LogLevel::warning, message, tag);
}
void HealthClient::logError(const std::string& message, const std::optional<std::string>& tag) {
    log(LogLevel::error, message, tag);
}

void HealthClient::clearLogs() {
    logs_->clear();
}

std::vector<LogEntry> HealthClient::allLogs() const {
    return logs_->all();
}

std::vector<HealthEvent> HealthClient::pendingEvents() const {
    waitForCaptures(Clock::time_point::max());
    return queue_->events();
}

bool HealthClient::sendBatch(const CorvanteskOptions& options, const HttpTransport& transport, Storage& storage,
                             const std::vector<HealthEvent>& batch, std::stop_token cancel,
                             Queue::Clock::time_point deadline) {
    HealthBatchPayload payload;
    payload.batchId = platform::makeUuidString();
    payload.appIdentifier = options.appId;
    payload.environment = options.environment;
    payload.deviceInfo = DeviceInfo::current(true, options.deviceId, options.appVersion, storage);
    payload.userId = storage.userId();
    const auto maxStackLength = effectiveStackLength(options.health.maxStackTraceLength);
    payload.events.reserve(batch.size());
    for (const auto& event : batch) {
        payload.events.push_back(event.toPayload(maxStackLength));
    }
    payload.sentAt = platform::AbsoluteTime::now();
    payload.isTest = options.isTest;
    return transport.sendHealthEvents(payload, std::move(cancel), deadline);
}

void HealthClient::sendHeartbeat(std::optional<AnyMap> metadata, std::stop_token cancel) {
    const auto device = DeviceInfo::current(true, options_.deviceId, options_.appVersion, storage_);
    HeartbeatPayload payload;
    payload.deviceId = device.deviceId;
    payload.platform = device.platform;
    payload.appVersion = device.appVersion;
    payload.osVersion = device.osVersion;
    payload.timestamp = platform::AbsoluteTime::now();
    payload.metadata = std::move(metadata);
    payload.isTest = options_.isTest;
    payload.appIdentifier = options_.appId;
    try {
        transport_->sendHeartbeat(payload, std::move(cancel));
        debugLine(options_.debug, "Heartbeat sent");
    } catch (const TransportError& error) {
        debugLine(options_.debug, "Failed to send heartbeat: " + error.description());
    } catch (const std::exception& error) {
        debugLine(options_.debug, std::string("Failed to send heartbeat: ") + error.what());
    }
}

void HealthClient::heartbeatLoop(std::stop_token stop) {
    platform::ThreadSignalStack signalStack;
    const auto interval = std::chrono::duration_cast<Clock::duration>(toDuration(
        effectiveInterval(options_.health.heartbeatInterval, kDefaultHeartbeatInterval, kMinHeartbeatInterval)));
    std::mutex sleepMutex;
    std::condition_variable_any sleeper;
    sendHeartbeat(std::nullopt, stop);
    while (!stop.stop_requested()) {
        {
            std::unique_lock lock(sleepMutex);
            sleeper.wait_for(lock, stop, interval, [] { return false; });
        }
        if (stop.stop_requested()) {
            return;
        }
        sendHeartbeat(std::nullopt, stop);
    }
}

} // namespace corvantesk
