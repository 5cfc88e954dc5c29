#include "Quillobrandt/wizard/SavedExtractions.h"

#include <nlohmann/json.hpp>

#include "platform/core/UserDefaults.h"
#include "platform/core/Uuid.h"

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

std::vector<SavedExtraction> decodeSavedExtractions(const std::string& text) {
    std::vector<SavedExtraction> extractions;
    const auto array = nlohmann::json::parse(text, nullptr, false);
    if (!array.is_array()) {
        return extractions;
    }
    for (const auto& item : array) {
        if (!item.is_object()) {
            continue;
        }
        const auto name = item.find("name");
        const auto path = item.find("path");
        const auto date = item.find("date");
        if (name == item.end() || path == item.end() || date == item.end() || !name->is_string() ||
            !path->is_string() || !date->is_number()) {
            continue;
        }
        extractions.push_back({platform::makeUuidString(), name->get<std::string>(),
                               std::filesystem::path(path->get<std::string>()),
                               platform::AbsoluteTime{date->get<double>()}});
    }
    return extractions;
}

void appendSavedExtraction(platform::UserDefaults& defaults, const SavedExtraction& extraction) {
    std::vector<SavedExtraction> extractions;
    if (const auto stored = defaults.data(kSavedExtractionsKey)) {
        extractions = decodeSavedExtractions(std::string(stored->begin(), stored->end()));
    }
    extractions.push_back(extraction);
    storeSavedExtractions(defaults, extractions);
}

void storeSavedExtractions(platform::UserDefaults& defaults, const std::vector<SavedExtraction>& extractions) {
    const std::string text = encodeSavedExtractions(extractions);
    defaults.setData(kSavedExtractionsKey, std::vector<std::uint8_t>(text.begin(), text.end()));
}

} // namespace quillobrandt
