#include "Quillobrandt/wizard/SavedExtractions.h"

#include <nlohmann/json.hpp>

#include "platform/core/UserDefaults.h"

namespace quillobrandt {

std::string encodeSavedExtractions(const std::vector<SavedExtraction>& extractions) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto& extraction : extractions) {
        nlohmann::ordered_json item;
        item["name"] = extraction.name;
        item["path"] = extraction.path.string();
        item["date"] = extraction.date.secondsSinceReferenceDate;
        array.push_back(std::move(item));
    }
    // A "/" can only stand inside a string in this text, so escaping every one keeps the JSON valid.
    const std::string compact = array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string escaped;
    escaped.reserve(compact.size() + 16);
    for (const char c : compact) {
        if (c == '/') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

void storeSavedExtractions(platform::UserDefaults& defaults, const std::vector<SavedExtraction>& extractions) {
    const std::string text = encodeSavedExtractions(extractions);
    defaults.setData(kSavedExtractionsKey, std::vector<std::uint8_t>(text.begin(), text.end()));
}

} // namespace quillobrandt
