#include "Corvantesk/analytics/SessionClock.h"

namespace corvantesk {

SessionClock SessionClock::system() {
    return {[] { return platform::AbsoluteTime::now(); }, [] { return std::chrono::steady_clock::now(); }};
}

} // namespace corvantesk
