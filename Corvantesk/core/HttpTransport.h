#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "Corvantesk/core/HttpClient.h"
#include "Corvantesk/core/TransportError.h"
#include "Corvantesk/core/WirePayloads.h"

namespace corvantesk {

// The only component that talks to the telemetry service: posts one payload as JSON to a fixed path below the
// base URL with the SDK's headers ("X-API-Key", "X-App-Identifier", "X-SDK-Version" "cpp-1.0.0") and turns the
// answer into success or a TransportError. No retries, no waiting, no redirects (the API key never goes to
// another host), TLS verification on, reply bodies read up to 1 MiB.
//
// Immutable after construction: one instance is shared by the health, analytics and feedback clients, and any
// thread may call it, several at once. Every call blocks its thread until the answer, the time-out or `cancel`;
// call it on SDK worker threads, never on a UI thread.
class HttpTransport {
public:
    static constexpr const char* kSdkVersion = "cpp-1.0.0";
    static constexpr const char* kHealthEventsPath = "/api/v1/health/events";
    static constexpr const char* kHeartbeatPath = "/api/v1/health/heartbeat";
    static constexpr const char* kAnalyticsEventsPath = "/api/v1/analytics/events";
    static constexpr const char* kFeedbackPath = "/api/v1/feedback";

    struct Settings {
        std::chrono::milliseconds connectTimeout{30000};
        std::chrono::milliseconds requestTimeout{60000};
        std::size_t maxReplyBytes = 1024 * 1024;
    };

    // When a request must have ended: its time-out is cut to the time left. max() means no deadline.
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr Deadline kNoDeadline = Deadline::max();

    struct Response {
        int statusCode = 0;
        std::optional<std::string> data;
        bool success = false;
    };

    // Drops one trailing "/" from baseURL. `client` defaults to libcurl.
    HttpTransport(std::string baseURL, std::string appId, std::string apiKey, bool debug);
    HttpTransport(std::string baseURL, std::string appId, std::string apiKey, bool debug, Settings settings,
                  std::shared_ptr<HttpClient> client = nullptr);
    virtual ~HttpTransport() = default;

    const std::string& baseURL() const { return baseURL_; }

    // True when the service took the batch; every failure throws TransportError.
    virtual bool sendHealthEvents(const HealthBatchPayload& payload, std::stop_token cancel = {},
                                  Deadline deadline = kNoDeadline) const;
    virtual bool sendHeartbeat(const HeartbeatPayload& payload, std::stop_token cancel = {},
                               Deadline deadline = kNoDeadline) const;
    virtual bool sendAnalyticsEvents(const AnalyticsBatchPayload& payload, std::stop_token cancel = {},
                                     Deadline deadline = kNoDeadline) const;
    // A successful result, with the service's "feedbackId" when the reply names one; throws TransportError.
    virtual FeedbackResult submitFeedback(const FeedbackPayload& payload, std::stop_token cancel = {}) const;

    // Posts `body` to baseURL + path. 200 and 201 succeed; 401 unauthorized, 403 forbidden, 429 rateLimited
    // (with Retry-After), everything else (other 2xx, 3xx, 4xx, 5xx) httpError with the server's message. A
    // deadline already passed fails at once with networkError.
    virtual Response post(const std::string& path, const std::string& body, std::stop_token cancel = {},
                          Deadline deadline = kNoDeadline) const;

    // The reply's "message" member, else its "error" member, when the reply is a JSON object holding a text there.
    static std::optional<std::string> errorMessage(std::string_view data);

private:
    template <class Payload> std::string encode(const Payload& payload) const;

    std::string baseURL_;
    std::string appId_;
    std::string apiKey_;
    bool debug_;
    Settings settings_;
    std::shared_ptr<HttpClient> client_;
};

} // namespace corvantesk
