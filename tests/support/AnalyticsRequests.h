#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/LoopbackHttpServer.h"

namespace qbtest {

// The last analytics event of the given type the server received, or null when none came.
inline nlohmann::json lastAnalyticsEvent(const LoopbackHttpServer& server, const std::string& eventType) {
    nlohmann::json found;
    for (const auto& request : server.requests()) {
        if (request.path != "/api/v1/analytics/events") {
            continue;
        }
        const nlohmann::json batch = request.json();
        for (const auto& event : batch["events"]) {
            if (event["eventType"] == eventType) {
                found = event;
            }
        }
    }
    return found;
}

} // namespace qbtest
