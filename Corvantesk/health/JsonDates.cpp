#include "Corvantesk/health/JsonDates.h"

namespace corvantesk {

nlohmann::json encodeDate(platform::AbsoluteTime time, JsonDates style) {
    if (style == JsonDates::iso8601) {
        return platform::formatIso8601(time);
    }
    return time.secondsSinceReferenceDate;
}

platform::AbsoluteTime decodeReferenceDate(const nlohmann::json& json) {
    if (!json.is_number()) {
        throw nlohmann::json::type_error::create(302, "date is not a number", &json);
    }
    return platform::AbsoluteTime{json.get<double>()};
}

} // namespace corvantesk
