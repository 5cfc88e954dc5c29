#include "Corvantesk/core/TransportError.h"

#include <cstdint>

#include "Corvantesk/core/OptionLimits.h"

namespace corvantesk {
namespace {

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

TransportError& TransportError::finish() {
    description_ = description();
    return *this;
}

TransportError TransportError::httpError(int statusCode, std::optional<std::string> message) {
    TransportError error(Kind::httpError);
    error.statusCode_ = statusCode;
    error.message_ = std::move(message);
    return error.finish();
}

TransportError TransportError::encodingError(std::string underlying) {
    TransportError error(Kind::encodingError);
    error.underlying_ = std::move(underlying);
    return error.finish();
}

TransportError TransportError::networkError(std::string underlying) {
    TransportError error(Kind::networkError);
    error.underlying_ = std::move(underlying);
    return error.finish();
}

TransportError TransportError::rateLimited(std::optional<double> retryAfter) {
    TransportError error(Kind::rateLimited);
    // A non-negative value is kept; one too large for any clock still asks for the longest pause the SDK makes.
    if (retryAfter && *retryAfter >= 0.0) {
        error.retryAfter_ = *retryAfter < 9.0e15 ? *retryAfter : kMaxRetryAfterSeconds;
    }
    return error.finish();
}

TransportError TransportError::invalidURL() {
    return TransportError(Kind::invalidURL).finish();
}
TransportError TransportError::invalidResponse() {
    return TransportError(Kind::invalidResponse).finish();
}
TransportError TransportError::unauthorized() {
    return TransportError(Kind::unauthorized).finish();
}
TransportError TransportError::forbidden() {
    return TransportError(Kind::forbidden).finish();
}

bool TransportError::isRefusedForGood() const {
    switch (kind_) {
    case Kind::httpError:
        return statusCode_ == 400 || statusCode_ == 409 || statusCode_ == 413 || statusCode_ == 422;
    case Kind::encodingError:
        return true;
    case Kind::invalidURL:
    case Kind::unauthorized:
    case Kind::forbidden:
    case Kind::networkError:
    case Kind::rateLimited:
    case Kind::invalidResponse:
        return false;
    }
    return false;
}

bool TransportError::isAccepted() const {
    return kind_ == Kind::httpError && statusCode_ >= 200 && statusCode_ <= 299;
}

std::string TransportError::description() const {
    switch (kind_) {
    case Kind::httpError:
        return "HTTP error " + std::to_string(statusCode_) + ": " + message_.value_or("Unknown error");
    case Kind::encodingError:
        return "Encoding error: " + underlying_;
    case Kind::networkError:
        return "Network error: " + underlying_;
    case Kind::rateLimited:
        if (!retryAfter_) {
            return "Rate limited";
        }
        return "Rate limited. Retry after " + std::to_string(static_cast<std::int64_t>(*retryAfter_)) + " seconds";
    case Kind::invalidURL:
        return "Invalid URL";
    case Kind::invalidResponse:
        return "Invalid response from server";
    case Kind::unauthorized:
        return "Unauthorized: Invalid API key";
    case Kind::forbidden:
        return "Forbidden: Access denied";
    }
    return "Unknown error";
}

std::string TransportError::debugDescription() const {
    switch (kind_) {
    case Kind::httpError:
        return "httpError(statusCode: " + std::to_string(statusCode_) +
               ", message: " + (message_ ? quoted(*message_) : "nil") + ")";
    case Kind::encodingError:
        return "encodingError(" + quoted(underlying_) + ")";
    case Kind::networkError:
        return "networkError(" + quoted(underlying_) + ")";
    case Kind::rateLimited:
        return "rateLimited(retryAfter: " + (retryAfter_ ? plainDecimal(*retryAfter_) : std::string("nil")) + ")";
    case Kind::invalidURL:
        return "invalidURL";
    case Kind::invalidResponse:
        return "invalidResponse";
    case Kind::unauthorized:
        return "unauthorized";
    case Kind::forbidden:
        return "forbidden";
    }
    return "unknown";
}

} // namespace corvantesk
