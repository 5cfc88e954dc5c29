#include "Corvantesk/health/JsonDates.h"

#include "Corvantesk/core/JsonOptional.h"

namespace corvantesk {

nlohmann::json encodeDate(platform::AbsoluteTime time, JsonDates style) {
    if (style == JsonDates::iso8601) {
        return platform::formatIso8601(time);
    }
    return time.secondsSinceReferenceDate;
}

platform::AbsoluteTime decodeReferenceDate(const nlohmann::json& json) {
    return platform::AbsoluteTime{dateSecondsFrom(json)};
}

} // namespace corvantesk
