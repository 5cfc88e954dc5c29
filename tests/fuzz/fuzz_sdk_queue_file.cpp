// A queue file is read back at every launch after whatever happened to it: any bytes must load as events or as
// nothing, and what loads must save and load again unchanged.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/analytics/AnalyticsEvent.h"
#include "Corvantesk/health/HealthEvent.h"

namespace {

// The element-by-element decoding the storage does for one queue file.
template <class Event> void loadSaveLoad(const nlohmann::json& array) {
    std::vector<Event> events;
    try {
        for (const auto& element : array) {
            events.push_back(element.get<Event>());
        }
    } catch (const std::exception&) {
        return; // the file reads as empty
    }
    nlohmann::json saved = nlohmann::json::array();
    for (const auto& event : events) {
        saved.push_back(nlohmann::json(event));
    }
    const std::string text = saved.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const auto reread = nlohmann::json::parse(text, nullptr, false);
    if (!reread.is_array() || reread.size() != events.size()) {
        __builtin_trap(); // a saved queue must read back
    }
    for (const auto& element : reread) {
        (void)element.get<Event>();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto json = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!json.is_array()) {
        return 0;
    }
    loadSaveLoad<corvantesk::AnalyticsEvent>(json);
    loadSaveLoad<corvantesk::HealthEvent>(json);
    return 0;
}
