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

    // Whether the service refused the request for good, so that sending it again cannot succeed: any answer
    // but a server error (5xx), 408 and 429, and a request that cannot be made at all. Network errors and
    // invalid responses are worth a retry.
    bool isRefusedForGood() const;

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
