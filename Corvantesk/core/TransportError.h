#pragma once

#include <exception>
#include <optional>
#include <string>

namespace corvantesk {

// The one error of HttpTransport. description() is the text fit to show a user ("HTTP error 500: boom",
// "Rate limited. Retry after 120 seconds", ...); debugDescription() names the case with its values for the
// SDK's debug lines. what() returns description().
class TransportError : public std::exception {
public:
    enum class Kind {
        httpError,
        encodingError,
        networkError,
        rateLimited,
        invalidURL,
        invalidResponse,
        unauthorized,
        forbidden
    };

    static TransportError httpError(int statusCode, std::optional<std::string> message);
    static TransportError encodingError(std::string underlying);
    static TransportError networkError(std::string underlying);
    static TransportError rateLimited(std::optional<double> retryAfter);
    static TransportError invalidURL();
    static TransportError invalidResponse();
    static TransportError unauthorized();
    static TransportError forbidden();

    Kind kind() const { return kind_; }
    int statusCode() const { return statusCode_; }                         // httpError
    const std::optional<std::string>& message() const { return message_; } // httpError
    std::optional<double> retryAfter() const { return retryAfter_; }       // rateLimited, seconds
    const std::string& underlying() const { return underlying_; }          // encodingError, networkError

    // Whether the service refused this request's body for good, so that sending the same body again cannot
    // succeed: 400 (malformed), 409 (conflicts with what the service holds, such as an id it has), 413 (too
    // large), 422 (not acceptable as it stands), and a body that cannot be encoded at all. A batch so refused may
    // still hold events the service takes: split it before dropping any.
    //
    // Every other failure says nothing about the body and is worth a retry later: network errors, invalid
    // responses, server errors (5xx), 408, 429, and answers about the credentials, the address or the service's
    // set-up that hold for every request alike (401, 402, 403, 404, 405, 407, 410, 415, the other 4xx, 3xx, an
    // invalid URL). Dropping events on those would lose everything while a key is being rotated or a proxy is
    // misconfigured.
    bool isRefusedForGood() const;
    // A 2xx answer other than 200 and 201: the service took the request, though not with an answer the SDK
    // expects; sending it again would only duplicate it.
    bool isAccepted() const;

    std::string description() const;
    std::string debugDescription() const;
    const char* what() const noexcept override { return description_.c_str(); }

private:
    explicit TransportError(Kind kind) : kind_(kind) {}
    TransportError& finish();

    Kind kind_;
    int statusCode_ = 0;
    std::optional<std::string> message_;
    std::optional<double> retryAfter_;
    std::string underlying_;
    std::string description_;
};

} // namespace corvantesk
