#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillobrandt {

struct HttpRequest {
    std::string method = "POST";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::seconds timeout{60};
};

// Either a status code (the server answered) or a transport error (it did not); neither when there
// was nothing to report.
struct HttpResponse {
    std::optional<long> statusCode;
    std::optional<std::string> error;
};

// Sends one request and waits for its answer. Called on a worker thread; must be safe to call from
// any one thread at a time.
class HttpSender {
public:
    virtual ~HttpSender() = default;
    virtual HttpResponse send(const HttpRequest& request) = 0;
};

// libcurl with TLS verification on; the response body is read and dropped.
class CurlHttpSender final : public HttpSender {
public:
    HttpResponse send(const HttpRequest& request) override;
};

// True when libcurl's URL parser accepts `text` as a whole URL (no spaces, a scheme, a host).
bool isValidUrl(const std::string& text);

} // namespace quillobrandt
