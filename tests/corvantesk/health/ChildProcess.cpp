#include "tests/corvantesk/health/ChildProcess.h"

#include <thread>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantesk::testing {

ChildOutcome runInChild(const std::function<void()>& body, std::chrono::milliseconds timeout) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit noCore {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
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
