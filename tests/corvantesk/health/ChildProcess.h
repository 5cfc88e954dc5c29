#pragma once

#include <chrono>
#include <functional>

namespace corvantesk::testing {

// How a child process ended.
struct ChildOutcome {
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signal = 0;
    bool timedOut = false;
};

// Forks, runs `body` in the child (with core dumps off) and ends the child with exit code 0 when the body
// returns. The parent waits up to `timeout`, then kills the child and reports a time-out.
ChildOutcome runInChild(const std::function<void()>& body,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace corvantesk::testing
