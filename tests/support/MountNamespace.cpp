#include "tests/support/MountNamespace.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace qbtest {

std::string answerFromChild(const std::function<std::string()>& work) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return "exception: no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        std::string answer;
        try {
            answer = work();
        } catch (const std::exception& error) {
            answer = std::string("exception: ") + error.what();
        }
        const auto written = ::write(pipeEnds[1], answer.data(), answer.size());
        ::_exit(written == static_cast<ssize_t>(answer.size()) ? 0 : 1);
    }
    ::close(pipeEnds[1]);
    std::string answer;
    char buffer[512];
    for (ssize_t got; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return answer;
}

std::optional<std::string> inOwnMountNamespace(const std::function<std::string()>& work) {
    auto answer = answerFromChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("no namespace");
        }
        return work();
    });
    if (answer == "no namespace") {
        return std::nullopt;
    }
    return answer;
}

void mountTmpfs(const std::filesystem::path& folder, const char* options) {
    std::filesystem::create_directories(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options) != 0) {
        throw std::runtime_error("cannot mount " + folder.string());
    }
}

} // namespace qbtest
