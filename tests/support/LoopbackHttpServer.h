#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qbtest {

// One request as the server saw it.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> headers; // names in lower case
    std::string body;
    std::chrono::steady_clock::time_point received;

    // The first header of that name (any case), or "" when absent.
    std::string header(const std::string& name) const;
    // The body parsed as JSON (a discarded value when it is not JSON).
    nlohmann::json json() const;
};

// What the server answers to one request.
struct ScriptedReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body = "{}";
    std::string contentType = "application/json";
    std::chrono::milliseconds delay{0}; // before answering; cut short when the server stops
};

// An HTTP server on 127.0.0.1 and a free port, for tests of code that talks to the telemetry service.
// It records every request and answers from a script: a body over the limit set with refuseBodiesOver() gets 413,
// as from a proxy in front of the service; otherwise replies pushed with pushReply() are used once each in order,
// then the handler (when set), then the default reply (200 with "{}"). Thread-safe; stops on destruction.
class LoopbackHttpServer {
public:
    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const;
    std::string baseUrl() const; // "http://127.0.0.1:<port>"

    void setDefaultReply(ScriptedReply reply);
    void pushReply(ScriptedReply reply);
    void setHandler(std::function<ScriptedReply(const RecordedRequest&)> handler);
    // Answers 413 to every request whose body is larger than `maxBodyBytes`.
    void refuseBodiesOver(std::size_t maxBodyBytes);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    // Waits until at least `count` requests arrived; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Stops listening (later connections are refused) and ends delays in progress.
    void stop();

    // A loopback port on which nothing listens: connecting there is refused.
    static int unusedPort();

    // An HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT") `seconds` from now, for Retry-After.
    static std::string httpDateFromNow(int seconds);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace qbtest
