#include "tests/support/FsyncProbe.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct ProbeState {
    std::atomic<bool> watching{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    std::size_t waiting = 0;
    std::vector<std::thread::id> callers;
};

ProbeState& probe() {
    static auto* state = new ProbeState(); // never destroyed: SDK threads may sync while the program exits
    return *state;
}

int observed(long number, int fd) {
    auto& state = probe();
    if (state.watching.load(std::memory_order_acquire)) {
        std::unique_lock lock(state.mutex);
        state.callers.push_back(std::this_thread::get_id());
        ++state.waiting;
        state.changed.notify_all();
        state.changed.wait(lock, [&] { return !state.holding; });
        --state.waiting;
    }
    return static_cast<int>(::syscall(number, fd));
}

} // namespace

extern "C" int fsync(int fd) {
    return observed(SYS_fsync, fd);
}

extern "C" int fdatasync(int fd) {
    return observed(SYS_fdatasync, fd);
}

namespace qbtest {

FsyncProbe::FsyncProbe() {
    auto& state = probe();
    std::lock_guard lock(state.mutex);
    state.callers.clear();
    state.holding = false;
    state.watching.store(true, std::memory_order_release);
}

FsyncProbe::~FsyncProbe() {
    release();
    probe().watching.store(false, std::memory_order_release);
}

std::size_t FsyncProbe::calls() const {
    auto& state = probe();
    std::lock_guard lock(state.mutex);
    return state.callers.size();
}

std::size_t FsyncProbe::callsOn(std::thread::id thread) const {
    auto& state = probe();
    std::lock_guard lock(state.mutex);
    return static_cast<std::size_t>(std::count(state.callers.begin(), state.callers.end(), thread));
}

void FsyncProbe::hold() {
    auto& state = probe();
    std::lock_guard lock(state.mutex);
    state.holding = true;
}

void FsyncProbe::release() {
    auto& state = probe();
    {
        std::lock_guard lock(state.mutex);
        state.holding = false;
    }
    state.changed.notify_all();
}

bool FsyncProbe::waitForHeldCall(std::chrono::milliseconds timeout) const {
    auto& state = probe();
    std::unique_lock lock(state.mutex);
    return state.changed.wait_for(lock, timeout, [&] { return state.holding && state.waiting > 0; });
}

} // namespace qbtest
