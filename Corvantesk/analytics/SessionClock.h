#pragma once

#include <chrono>
#include <functional>

#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// The two clocks a session needs: wall time for what is stored and sent, the monotonic clock for how
// long the user has been idle (so a change of the system time neither ends nor prolongs a session).
// Tests pass their own.
struct SessionClock {
    std::function<platform::AbsoluteTime()> wallNow;
    std::function<std::chrono::steady_clock::time_point()> monotonicNow;

    static SessionClock system();
};

} // namespace corvantesk
