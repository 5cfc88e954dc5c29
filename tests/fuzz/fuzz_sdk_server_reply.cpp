// A telemetry server's reply (status, headers, body) reaches the transport from the network: any reply must
// become a result or a TransportError, never anything else.
#include <cstdint>
#include <memory>
#include <string>

#include "Corvantesk/core/HttpClient.h"
#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/core/TransportError.h"

namespace {

// Answers every request with the reply built from the fuzzer's bytes.
class ScriptedClient : public corvantesk::HttpClient {
public:
    corvantesk::HttpResponse reply;
    corvantesk::HttpResponse post(const corvantesk::HttpRequest&, std::stop_token) override { return reply; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes pick the status; then "name: value" lines up to an empty line, then the body.
    auto client = std::make_shared<ScriptedClient>();
    client->reply.statusCode = 100 + (data[0] << 8 | data[1]) % 500;
    std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    for (;;) {
        const auto end = rest.find('\n');
        if (end == std::string::npos || end == 0) {
            rest.erase(0, end == 0 ? 1 : 0);
            break;
        }
        const std::string line = rest.substr(0, end);
        rest.erase(0, end + 1);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            client->reply.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
        }
    }
    client->reply.body = rest;
    (void)corvantesk::HttpTransport::errorMessage(rest);

    corvantesk::HttpTransport transport("http://127.0.0.1:9", "app", "key", false, {}, client);
    try {
        (void)transport.submitFeedback(corvantesk::FeedbackPayload{});
    } catch (const corvantesk::TransportError& error) {
        (void)error.description();
        (void)error.retryAfter();
    }
    try {
        (void)transport.sendAnalyticsEvents(corvantesk::AnalyticsBatchPayload{});
    } catch (const corvantesk::TransportError& error) {
        (void)error.debugDescription();
    }
    return 0;
}
