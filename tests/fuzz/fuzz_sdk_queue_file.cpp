// A queue file and its journal are read back at every launch after whatever happened to them: any bytes must
// load as events or as nothing, and what loads must save and load again unchanged.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/analytics/AnalyticsEvent.h"
#include "Corvantesk/core/QueueJournal.h"
#include "Corvantesk/health/HealthEvent.h"

namespace {

// The element-by-element decoding the queue does for one queue file: a bad element is skipped.
template <class Event> void loadSaveLoad(const nlohmann::json& array) {
    std::vector<Event> events;
    for (const auto& element : array) {
        try {
            events.push_back(element.get<Event>());
        } catch (const std::exception&) {
        }
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
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The same bytes as the journal of an empty queue file.
    nlohmann::json replayed = nlohmann::json::array();
    corvantesk::queue_journal::replay(replayed, corvantesk::queue_journal::header("", 1) + std::string(bytes));
    (void)corvantesk::queue_journal::readHeader(bytes);
    loadSaveLoad<corvantesk::AnalyticsEvent>(replayed);
    const auto json = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!json.is_array()) {
        return 0;
    }
    loadSaveLoad<corvantesk::AnalyticsEvent>(json);
    loadSaveLoad<corvantesk::HealthEvent>(json);
    return 0;
}
