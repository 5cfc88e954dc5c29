#include "tests/support/LoopbackHttpServer.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace qbtest {

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace

struct LoopbackHttpServer::State {
    httplib::Server server;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    bool poolMade = false; // the request threads exist
    std::vector<RecordedRequest> requests;
    std::deque<ScriptedReply> queued;
    std::function<ScriptedReply(const RecordedRequest&)> handler;
    ScriptedReply defaultReply;
    std::size_t maxBodyBytes = std::numeric_limits<std::size_t>::max();
};

std::string RecordedRequest::header(const std::string& name) const {
    const auto it = headers.find(lowerCase(name));
    return it == headers.end() ? std::string() : it->second;
}

nlohmann::json RecordedRequest::json() const {
    return nlohmann::json::parse(body, nullptr, false);
}

LoopbackHttpServer::LoopbackHttpServer() : state_(std::make_shared<State>()) {
    State* state = state_.get();
    state->server.Post(".*", [state](const httplib::Request& req, httplib::Response& res) {
        RecordedRequest recorded;
        recorded.method = req.method;
        recorded.path = req.path;
        for (const auto& [name, value] : req.headers) {
            recorded.headers.emplace(lowerCase(name), value);
        }
        recorded.body = req.body;
        recorded.received = std::chrono::steady_clock::now();

        ScriptedReply reply;
        std::function<ScriptedReply(const RecordedRequest&)> handler;
        {
            std::lock_guard lock(state->mutex);
            state->requests.push_back(recorded);
            if (recorded.body.size() > state->maxBodyBytes) {
                reply = ScriptedReply{413, {}, R"({"error":"Request body too large"})"};
            } else if (!state->queued.empty()) {
                reply = state->queued.front();
                state->queued.pop_front();
            } else if (state->handler) {
                handler = state->handler;
            } else {
                reply = state->defaultReply;
            }
        }
        state->changed.notify_all();
        if (handler) {
            reply = handler(recorded);
        }
        if (reply.delay.count() > 0) {
            std::unique_lock lock(state->mutex);
            state->changed.wait_for(lock, reply.delay, [state] { return state->stopping; });
        }
        res.status = reply.status;
        for (const auto& [name, value] : reply.headers) {
            res.set_header(name, value);
        }
        res.set_content(reply.body, reply.contentType.c_str());
    });
    state->server.set_keep_alive_max_count(1);
    // The listening thread makes the request threads after it reports itself running; the server is ready, and
    // the process's thread count steady (tests count threads), only once all of them exist.
    state->server.new_task_queue = [state] {
        auto* pool = new httplib::ThreadPool(CPPHTTPLIB_THREAD_POOL_COUNT);
        {
            std::lock_guard lock(state->mutex);
            state->poolMade = true;
        }
        state->changed.notify_all();
        return pool;
    };
    state->port = state->server.bind_to_any_port("127.0.0.1");
    if (state->port <= 0) {
        throw std::runtime_error("the loopback server could not bind a port");
    }
    state->thread = std::thread([state] { state->server.listen_after_bind(); });
    std::unique_lock lock(state->mutex);
    if (!state->changed.wait_for(lock, std::chrono::seconds(10), [state] { return state->poolMade; })) {
        lock.unlock();
        stop();
        throw std::runtime_error("the loopback server did not start");
    }
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stop();
}

void LoopbackHttpServer::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    state_->server.stop();
    if (state_->thread.joinable()) {
        state_->thread.join();
    }
}

int LoopbackHttpServer::port() const {
    return state_->port;
}

std::string LoopbackHttpServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(state_->port);
}

void LoopbackHttpServer::setDefaultReply(ScriptedReply reply) {
    std::lock_guard lock(state_->mutex);
    state_->defaultReply = std::move(reply);
}

void LoopbackHttpServer::pushReply(ScriptedReply reply) {
    std::lock_guard lock(state_->mutex);
    state_->queued.push_back(std::move(reply));
}

void LoopbackHttpServer::setHandler(std::function<ScriptedReply(const RecordedRequest&)> handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void LoopbackHttpServer::refuseBodiesOver(std::size_t maxBodyBytes) {
    std::lock_guard lock(state_->mutex);
    state_->maxBodyBytes = maxBodyBytes;
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t LoopbackHttpServer::requestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests.size();
}

bool LoopbackHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->requests.size() >= count; });
}

int LoopbackHttpServer::unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd); // bound but never listening, and now closed: connections to it are refused
    return port;
}

std::string LoopbackHttpServer::httpDateFromNow(int seconds) {
    const std::time_t when = std::time(nullptr) + seconds;
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

} // namespace qbtest
