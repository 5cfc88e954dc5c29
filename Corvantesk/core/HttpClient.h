#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

// The narrow seam between HttpTransport and the network library, so another one can stand in.
namespace corvantesk {

struct HttpRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers; // sent in this order
    std::string body;
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds totalTimeout{60000};
    std::size_t maxResponseBytes = 1024 * 1024; // the reply body is cut here
};

struct HttpResponse {
    int statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case, values trimmed
    std::string body;
    bool bodyTruncated = false; // the server sent more than maxResponseBytes

    // The first header of that (lower-case) name.
    const std::string* header(const std::string& lowerCaseName) const {
        for (const auto& [name, value] : headers) {
            if (name == lowerCaseName) {
                return &value;
            }
        }
        return nullptr;
    }
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Posts one request and blocks until the reply has arrived, the time-out has passed or `cancel` is
    // triggered. Follows no redirect (a 3xx comes back as it is). Verifies TLS. Safe to call from several
    // threads at once. Throws TransportError: networkError (no connection, time-out, TLS failure, cancelled)
    // or invalidURL.
    virtual HttpResponse post(const HttpRequest& request, std::stop_token cancel) = 0;
};

} // namespace corvantesk
