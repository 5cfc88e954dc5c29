#pragma once

#include <optional>
#include <string>

#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// Seconds to wait from a "Retry-After" field: either a number of seconds (the whole text one decimal number,
// no spaces) or an HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT"), counted from `now` and never negative.
// nullopt for anything else, including values that are not finite or negative.
std::optional<double> parseRetryAfter(const std::string& text, platform::AbsoluteTime now);

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"). nullopt when malformed.
std::optional<platform::AbsoluteTime> parseHttpDate(const std::string& text);

} // namespace corvantesk
