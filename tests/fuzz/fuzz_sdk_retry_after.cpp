// A server's Retry-After field: any text must give a finite, non-negative pause or none.
#include <cmath>
#include <cstdint>
#include <string>

#include "Corvantesk/core/RetryAfter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto now = platform::AbsoluteTime::fromUnixSeconds(1'765'000'000.0);
    if (const auto pause = corvantesk::parseRetryAfter(text, now)) {
        if (!std::isfinite(*pause) || *pause < 0.0) {
            __builtin_trap();
        }
    }
    (void)corvantesk::parseHttpDate(text);
    return 0;
}
