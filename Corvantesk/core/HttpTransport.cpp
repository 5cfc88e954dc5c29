#include "Corvantesk/core/HttpTransport.h"

#include <cmath>
#include <limits>

#include "Corvantesk/core/CurlHttpClient.h"
#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/RetryAfter.h"
#include "platform/core/Utf8Text.h"

namespace corvantesk {
namespace {

std::optional<std::int64_t> exactInteger(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

} // namespace

HttpTransport::HttpTransport(std::string baseURL, std::string appId, std::string apiKey, bool debug)
    : HttpTransport(std::move(baseURL), std::move(appId), std::move(apiKey), debug, Settings{}) {}

HttpTransport::HttpTransport(std::string baseURL, std::string appId, std::string apiKey, bool debug, Settings settings,
                             std::shared_ptr<HttpClient> client)
    : baseURL_(std::move(baseURL)), appId_(std::move(appId)), apiKey_(std::move(apiKey)), debug_(debug),
      settings_(settings), client_(client ? std::move(client) : std::make_shared<CurlHttpClient>()) {
    if (baseURL_.ends_with('/')) {
        baseURL_.pop_back();
    }
}

template <class Payload> std::string HttpTransport::encode(const Payload& payload) const {
    try {
        // A text that is not valid UTF-8 goes out with U+FFFD in place of each bad sequence.
        return nlohmann::ordered_json(payload).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } catch (const std::exception& error) {
        throw TransportError::encodingError(error.what());
    }
}

bool HttpTransport::sendHealthEvents(const HealthBatchPayload& payload, std::stop_token cancel,
                                     Deadline deadline) const {
    return post(kHealthEventsPath, encode(payload), cancel, deadline).success;
}

bool HttpTransport::sendHeartbeat(const HeartbeatPayload& payload, std::stop_token cancel, Deadline deadline) const {
    return post(kHeartbeatPath, encode(payload), cancel, deadline).success;
}

bool HttpTransport::sendAnalyticsEvents(const AnalyticsBatchPayload& payload, std::stop_token cancel,
                                        Deadline deadline) const {
    return post(kAnalyticsEventsPath, encode(payload), cancel, deadline).success;
}

FeedbackResult HttpTransport::submitFeedback(const FeedbackPayload& payload, std::stop_token cancel) const {
    const Response response = post(kFeedbackPath, encode(payload), cancel);
    const auto json = nlohmann::json::parse(response.data.value_or(""), nullptr, false);
    if (json.is_object()) {
        if (const auto id = json.find("feedbackId"); id != json.end()) {
            if (auto integer = exactInteger(*id)) {
                return FeedbackResult::succeeded(integer);
            }
        }
    }
    return FeedbackResult::succeeded(std::nullopt);
}

HttpTransport::Response HttpTransport::post(const std::string& path, const std::string& body, std::stop_token cancel,
                                            Deadline deadline) const {
    HttpRequest request;
    request.url = baseURL_ + path;
    request.headers = {{"Content-Type", "application/json"},
                       {"X-API-Key", apiKey_},
                       {"X-App-Identifier", appId_},
                       {"X-SDK-Version", kSdkVersion}};
    request.body = body;
    request.connectTimeout = settings_.connectTimeout;
    request.totalTimeout = settings_.requestTimeout;
    if (deadline != kNoDeadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw TransportError::networkError("The request timed out");
        }
        request.totalTimeout = std::min(request.totalTimeout, left);
        request.connectTimeout = std::min(request.connectTimeout, left);
    }
    request.maxResponseBytes = settings_.maxReplyBytes;

    if (debug_) {
        debugLine(true, "→ POST " + request.url);
        if (platform::utf8::isValid(body)) {
            debugLine(true, "Body: " + std::string(platform::utf8::prefix(body, 500)) + "...");
        }
    }

    HttpResponse reply;
    try {
        reply = client_->post(request, cancel);
    } catch (const TransportError&) {
        throw;
    } catch (const std::exception& error) {
        throw TransportError::networkError(error.what());
    }
    if (reply.statusCode < 100 || reply.statusCode > 999) {
        throw TransportError::invalidResponse();
    }

    if (debug_) {
        debugLine(true, "← " + std::to_string(reply.statusCode));
        if (platform::utf8::isValid(reply.body)) {
            debugLine(true, "Response: " + std::string(platform::utf8::prefix(reply.body, 200)));
        }
    }

    switch (reply.statusCode) {
    case 200:
    case 201:
        return Response{reply.statusCode, std::move(reply.body), true};
    case 429: {
        std::optional<double> retryAfter;
        if (const std::string* field = reply.header("retry-after")) {
            retryAfter = parseRetryAfter(*field, platform::AbsoluteTime::now());
        }
        throw TransportError::rateLimited(retryAfter);
    }
    case 403:
        throw TransportError::forbidden();
    case 401:
        throw TransportError::unauthorized();
    default:
        throw TransportError::httpError(reply.statusCode, errorMessage(reply.body));
    }
}

std::optional<std::string> HttpTransport::errorMessage(std::string_view data) {
    const auto json = nlohmann::json::parse(data, nullptr, false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    for (const char* key : {"message", "error"}) {
        if (const auto member = json.find(key); member != json.end() && member->is_string()) {
            return member->get<std::string>();
        }
    }
    return std::nullopt;
}

} // namespace corvantesk
