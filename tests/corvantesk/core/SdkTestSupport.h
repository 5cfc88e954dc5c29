#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/Storage.h"
#include "platform/core/UserDefaults.h"
#include "tests/support/TestEnvironment.h"

namespace sdktest {

// A small event for queue tests, in its own queue-file form.
struct TestEvent {
    std::string id;
    int sequence = 0;
    bool operator==(const TestEvent&) const = default;
};

inline void to_json(nlohmann::json& json, const TestEvent& event) {
    json = {{"id", event.id}, {"sequence", event.sequence}};
}
inline void from_json(const nlohmann::json& json, TestEvent& event) {
    event.id = json.at("id").get<std::string>();
    event.sequence = json.at("sequence").get<int>();
}

inline TestEvent event(int sequence) {
    return TestEvent{std::string("E").append(std::to_string(sequence)), sequence};
}

// A payload's JSON as the transport sends it.
template <class Payload> std::string wireText(const Payload& payload) {
    return nlohmann::ordered_json(payload).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Loopback requests must not go through a proxy named in the environment.
inline void withoutProxies() {
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
        ::unsetenv(name);
    }
}

// Storage on the current test's private folders.
struct TestStorage {
    platform::UserDefaults defaults{qbtest::IsolatedHome::root() / "config" / "defaults.json"};
    corvantesk::Storage storage{defaults, qbtest::IsolatedHome::root() / "cache" / "Corvantesk"};
};

// What a queue sends of `events` once its writer has kept them in their file form alone, each event as the
// transport spells it on the wire (its payload's JSON).
template <class Event, class Payload>
std::vector<std::string> sentOnTheWire(const std::vector<Event>& events, Payload payload) {
    TestStorage storage;
    std::vector<std::string> sent;
    corvantesk::EventQueue<Event> queue(
        "wire", 100, 3600.0, 100, false,
        [&](const std::vector<Event>& batch, std::stop_token, std::chrono::steady_clock::time_point) {
            for (const auto& event : batch) {
                sent.push_back(wireText(payload(event)));
            }
            return true;
        },
        storage.storage);
    for (const auto& event : events) {
        queue.enqueue(event);
    }
    queue.persist();
    queue.flush();
    return sent;
}

} // namespace sdktest
