#pragma once

#include <nlohmann/json.hpp>

#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// How dates are written in an event's JSON: seconds since 2001 in the offline queue files, ISO 8601 text
// in what goes on the wire.
enum class JsonDates { referenceSeconds, iso8601 };

nlohmann::json encodeDate(platform::AbsoluteTime time, JsonDates style);
// Reads the offline form (a number of seconds since 2001). Throws nlohmann's type_error otherwise.
platform::AbsoluteTime decodeReferenceDate(const nlohmann::json& json);

} // namespace corvantesk
