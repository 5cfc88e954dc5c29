#include "Corvantesk/health/LogEntry.h"

namespace corvantesk {

nlohmann::json toJson(const LogEntry& entry, JsonDates dates) {
    nlohmann::json json = nlohmann::json::object();
    json["timestamp"] = encodeDate(entry.timestamp, dates);
    json["level"] = std::string(logLevelName(entry.level));
    json["message"] = entry.message;
    if (entry.tag) {
        json["tag"] = *entry.tag;
    }
    return json;
}

void to_json(nlohmann::json& json, const LogEntry& entry) {
    json = toJson(entry, JsonDates::referenceSeconds);
}

void from_json(const nlohmann::json& json, LogEntry& entry) {
    const auto levelName = json.at("level").get<std::string>();
    const auto level = logLevelFromName(levelName);
    if (!level) {
        throw nlohmann::json::type_error::create(302, "unknown log level \"" + levelName + "\"", &json);
    }
    entry.timestamp = decodeReferenceDate(json.at("timestamp"));
    entry.level = *level;
    entry.message = json.at("message").get<std::string>();
    entry.tag.reset();
    if (auto it = json.find("tag"); it != json.end() && !it->is_null()) {
        entry.tag = it->get<std::string>();
    }
}

} // namespace corvantesk
