#pragma once

#include <cstddef>

namespace platform {

// A handler for a stack overflow can only run on an alternate signal stack, and every thread has its own (a new
// thread starts without one). Without it a thread whose stack ran out dies silently, however the crash handler is
// set up.

// The size of the stacks given here.
inline constexpr std::size_t kAlternateSignalStackSize = 256 * 1024;

// Gives the calling thread an alternate signal stack, unless it has a large enough one already. The stack stays
// until the thread ends and is freed then. Any thread; cheap after the first call on a thread. Returns false
// when none could be set (out of memory).
bool ensureAlternateSignalStack() noexcept;

// The calling thread's alternate signal stack size in bytes; 0 when it has none.
std::size_t currentAlternateSignalStackSize() noexcept;

// The first statement of every thread we start, and of every task run on a thread pool:
//     platform::ThreadSignalStack signalStack;
// The thread keeps its stack for the rest of its life, so a pool thread pays for it once, at its first task.
class ThreadSignalStack {
public:
    ThreadSignalStack() noexcept : active_(ensureAlternateSignalStack()) {}
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;

    bool active() const { return active_; }

private:
    bool active_;
};

} // namespace platform
