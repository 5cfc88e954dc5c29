#include "platform/core/SignalStack.h"

#include <atomic>
#include <memory>
#include <new>

#include <signal.h>
#include <unistd.h>

namespace platform {
namespace {

// The main thread's stack lives in static storage and stays in place for the whole process, so a crash while the
// process exits is still reported. Every other thread gets its stack from the heap and gives it back as it ends
// (switched off first: a sanitizer runtime unmaps whatever alternate stack an ending thread still has).
alignas(64) char g_mainThreadStack[kAlternateSignalStackSize];
std::atomic<bool> g_mainThreadStackTaken{false};

struct ThreadStack {
    std::unique_ptr<char[]> memory;
    ~ThreadStack() {
        if (!memory) {
            return;
        }
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory.get() &&
            (current.ss_flags & SS_ONSTACK) == 0) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        } else {
            (void)memory.release(); // still in use or replaced by someone else: leave it be
        }
    }
};
thread_local ThreadStack t_stack;
thread_local bool t_hasStack = false;

} // namespace

bool ensureAlternateSignalStack() noexcept {
    if (t_hasStack) {
        return true;
    }
    if (currentAlternateSignalStackSize() >= kAlternateSignalStackSize) {
        t_hasStack = true; // the thread already has a large enough one; keep it
        return true;
    }
    stack_t ours{};
    ours.ss_size = kAlternateSignalStackSize;
    if (::gettid() == ::getpid() && !g_mainThreadStackTaken.exchange(true)) {
        ours.ss_sp = g_mainThreadStack;
    } else {
        t_stack.memory.reset(new (std::nothrow) char[kAlternateSignalStackSize]);
        ours.ss_sp = t_stack.memory.get();
    }
    if (ours.ss_sp == nullptr || sigaltstack(&ours, nullptr) != 0) {
        t_stack.memory.reset();
        return false;
    }
    t_hasStack = true;
    return true;
}

std::size_t currentAlternateSignalStackSize() noexcept {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0) {
        return 0;
    }
    return current.ss_size;
}

} // namespace platform
