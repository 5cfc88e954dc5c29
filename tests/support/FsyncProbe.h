#pragma once

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace qbtest {

// Watches every fsync and fdatasync of the test program while it lives: a program that uses it defines both
// functions in front of the C library's. It notes the thread of each call and, while held, keeps the calls
// waiting as a very slow disk would, so a test sees which calls wait for the disk and on which thread they run.
// One probe at a time. Calls from a signal handler go straight through while no probe lives.
class FsyncProbe {
public:
    FsyncProbe();
    // Releases held calls and stops watching.
    ~FsyncProbe();
    FsyncProbe(const FsyncProbe&) = delete;
    FsyncProbe& operator=(const FsyncProbe&) = delete;

    std::size_t calls() const;
    std::size_t callsOn(std::thread::id thread) const;
    // From now on, calls wait until release().
    void hold();
    void release();
    // Blocks until a call waits in hold(); false when `timeout` passed first.
    bool waitForHeldCall(std::chrono::milliseconds timeout) const;
};

} // namespace qbtest
