#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantesk::testing {

// How a child process ended.
struct ChildOutcome {
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signal = 0;
    bool timedOut = false;
};

// Recurses until the stack runs out (page-sized frames make that quick); the call through std::function keeps the
// compiler from seeing, and rejecting or flattening, the endless recursion.
inline void overflowTheStack() {
    std::function<int(int)> recurse = [&recurse](int depth) {
        volatile char pad[4096];
        pad[0] = static_cast<char>(depth);
        return recurse(depth + 1) + pad[0];
    };
    recurse(0);
}

// Forks, runs `body` in the child (with core dumps off, and the default action for the fatal signals) and ends the
// child with exit code 0 when the body returns. The parent waits up to `timeout`, then kills the child and reports
// a time-out. Header-only, so the facade tests can share it.
//
// The sanitizers handle SIGSEGV, SIGBUS and SIGFPE themselves; the crash handler passes a signal on to the handler
// it found, so the child starts without theirs, as a program built without them does.
inline ChildOutcome runInChild(const std::function<void()>& body,
                               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit noCore {
            0, 0
        };
        ::setrlimit(RLIMIT_CORE, &noCore);
        for (int fatal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) {
            ::signal(fatal, SIG_DFL);
        }
        body();
        ::_exit(0);
    }
    ChildOutcome outcome;
    if (pid < 0) {
        return outcome;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            if (const char* dump = std::getenv("QB_DUMP_HUNG_CHILD")) {
                const std::string command =
                    "gdb -p " + std::to_string(pid) + " -batch -ex 'thread apply all bt' > " + dump + " 2>&1";
                [[maybe_unused]] int ignored = std::system(command.c_str());
            }
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            outcome.timedOut = true;
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signaled = true;
        outcome.signal = WTERMSIG(status);
    }
    return outcome;
}

} // namespace corvantesk::testing
