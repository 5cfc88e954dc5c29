#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "Quillobrandt/app/HttpSender.h"

namespace platform {
class UserDefaults;
}

namespace quillobrandt {

struct GoogleAnalyticsConfiguration {
    static constexpr const char* collectEndpoint = "https://www.google-analytics.com/mp/collect";

    std::string measurementId;
    std::string apiSecret;
    std::string endpoint = collectEndpoint;

    // "GAMeasurementId" and "GAApiSecret" of the bundle; empty in a default build.
    static GoogleAnalyticsConfiguration fromBundle();
};

// Usage events to a Google Analytics 4 property through the Measurement Protocol: one POST per event,
// fire and forget, sent in order by one worker thread. Disabled (one console line per event, nothing
// sent, no client id made) when the measurement id or the API secret is empty. Every outcome is a
// console line; nothing reaches the user or the log file. Thread-safe.
class GoogleAnalyticsManager {
public:
    static constexpr const char* clientIdKey = "ga_client_id";
    static constexpr const char* platformName = "Linux";

    // The process-wide client, configured from the bundle, sending with libcurl, keeping its client id in
    // UserDefaults::standard(). Created on first use; never destroyed.
    static GoogleAnalyticsManager& shared();

    // `defaults` must outlive the manager.
    GoogleAnalyticsManager(GoogleAnalyticsConfiguration configuration, std::shared_ptr<HttpSender> sender,
                           platform::UserDefaults& defaults);
    // Sends what is still queued, then stops the worker.
    ~GoogleAnalyticsManager();
    GoogleAnalyticsManager(const GoogleAnalyticsManager&) = delete;
    GoogleAnalyticsManager& operator=(const GoogleAnalyticsManager&) = delete;

    bool isEnabled() const { return enabled_; }

    // Returns at once. `parameters` is a JSON object of integers, Booleans and texts (or null for none);
    // "app_version" and "platform" are always the client's own.
    void trackEvent(const std::string& name, const nlohmann::json& parameters = nullptr);
    void trackConversationOpened(std::int64_t messageCount, bool isGroupChat, bool hasMedia);
    void trackPDFExportStarted(std::int64_t messageCount, bool includeImages, bool isUltraDense);

    // The stored "ga_client_id", made (an upper-case UUID) and stored when there is none.
    std::string clientId();

    // Blocks until every event handed over so far has been sent and answered.
    void waitUntilIdle();

    // "<CFBundleShortVersionString> (<CFBundleVersion>)", each "unknown" when absent.
    static std::string appVersion();
    static std::string formatAppVersion(const std::optional<std::string>& shortVersion,
                                        const std::optional<std::string>& build);

private:
    struct PendingSend {
        std::string eventName;
        HttpRequest request;
    };

    void send(const nlohmann::json& body, const std::string& eventName);
    void handleResponse(const std::string& eventName, const HttpResponse& response);
    void runWorker(std::stop_token stop);

    const GoogleAnalyticsConfiguration configuration_;
    const bool enabled_;
    const std::shared_ptr<HttpSender> sender_;
    platform::UserDefaults& defaults_;

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::condition_variable idle_;
    std::deque<PendingSend> queue_;
    bool busy_ = false;
    std::jthread worker_; // last: started on first send, stopped before the members above go
};

} // namespace quillobrandt
