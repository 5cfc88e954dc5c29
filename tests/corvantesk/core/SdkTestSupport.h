#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

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

} // namespace sdktest
