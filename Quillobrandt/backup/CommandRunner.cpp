#include "Quillobrandt/backup/CommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/core/FileDescriptor.h"

extern char** environ;

namespace quillobrandt {
namespace {

using Clock = std::chrono::steady_clock;

CommandResult failure(const std::string& reason) {
    return CommandResult{"", reason, -1, false};
}

struct Pipe {
    platform::FileDescriptor readEnd;
    platform::FileDescriptor writeEnd;
};

std::optional<Pipe> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    return Pipe{platform::FileDescriptor(fds[0]), platform::FileDescriptor(fds[1])};
}

// Own posix_spawn's two attribute objects.
struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

enum class Stream { open, closed, overflowing };

// Reads what is available on `fd` into `buffer`, as long as both buffers together stay within the limit.
Stream drain(int fd, std::string& buffer, std::size_t otherBuffered, const CommandOutputHandler* handler) {
    std::array<char, 4096> chunk{};
    const ssize_t count = ::read(fd, chunk.data(), chunk.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
        return Stream::open;
    }
    if (count <= 0) {
        return Stream::closed;
    }
    const auto size = static_cast<std::size_t>(count);
    if (buffer.size() + otherBuffered + size > kCommandOutputLimit) {
        return Stream::overflowing; // a tool printing without end would take all memory
    }
    std::string piece(chunk.data(), size);
    buffer += piece;
    if (handler != nullptr && *handler && isValidUtf8(piece)) {
        (*handler)(piece);
    }
    return Stream::open;
}

// How often a wait looks at the stop flag.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(50);

bool stopRequested(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load();
}

// Waits for the child to end, leaving it unreaped so its process group cannot be taken over by a new process
// before it is killed; nullopt when it is still running at `deadline` or a stop was asked for.
std::optional<std::int64_t> waitForExit(pid_t pid, Clock::time_point deadline, const std::atomic<bool>* stop) {
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        siginfo_t info{};
        const int outcome = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (outcome == 0 && info.si_pid == pid) {
            return info.si_code == CLD_EXITED ? static_cast<std::int64_t>(info.si_status) : -1;
        }
        if (outcome < 0 && errno != EINTR) {
            return -1; // nothing left to wait for
        }
        const auto now = Clock::now();
        if (now >= deadline || stopRequested(stop)) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>({pause, deadline - now, Clock::duration(kStopCheckInterval)}));
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

// Kills the child's whole process group (a script's own children included, also those it left running after its
// own end) and reaps the child.
void killAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

bool isValidUtf8(const std::string& bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < minimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

CommandResult runCommand(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                         const CommandOutputHandler& outputHandler, std::chrono::milliseconds timeout,
                         const std::atomic<bool>* stop) {
    if (executable.empty()) {
        return failure("No such file or directory");
    }
    auto out = makePipe();
    auto err = makePipe();
    if (!out || !err) {
        return failure(std::string("Cannot create a pipe: ") + std::strerror(errno));
    }

    SpawnActions spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, out->writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&spawn.actions, err->writeEnd.get(), STDERR_FILENO);
    SpawnAttributes attributes;
    // A group of its own, so a hung tool is killed together with anything it started.
    posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes.attributes, 0);

    std::vector<std::string> argvStorage;
    argvStorage.reserve(arguments.size() + 1);
    argvStorage.push_back(executable.string());
    argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argvStorage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawnError =
        ::posix_spawn(&pid, argvStorage.front().c_str(), &spawn.actions, &attributes.attributes, argv.data(), environ);
    out->writeEnd.close();
    err->writeEnd.close();
    if (spawnError != 0) {
        return failure(std::strerror(spawnError));
    }

    std::string outputBytes;
    std::string errorBytes;
    bool outputOpen = true;
    bool errorOpen = true;
    bool overflowing = false;
    bool pollFailed = false;
    const auto deadline = Clock::now() + timeout;
    while ((outputOpen || errorOpen) && !overflowing && !stopRequested(stop)) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            break;
        }
        std::array<pollfd, 2> fds{pollfd{outputOpen ? out->readEnd.get() : -1, POLLIN, 0},
                                  pollfd{errorOpen ? err->readEnd.get() : -1, POLLIN, 0}};
        const auto slice = std::min(remaining, std::chrono::milliseconds(kStopCheckInterval));
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(slice.count()));
        if (ready < 0 && errno != EINTR) {
            pollFailed = true; // cannot watch the child any more: stop it rather than hang
            break;
        }
        if (ready <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            bool& open = i == 0 ? outputOpen : errorOpen;
            if (!open || overflowing || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            std::string& buffer = i == 0 ? outputBytes : errorBytes;
            const std::size_t other = i == 0 ? errorBytes.size() : outputBytes.size();
            const Stream stream = drain(fds[i].fd, buffer, other, i == 0 ? &outputHandler : nullptr);
            open = stream == Stream::open;
            overflowing = stream == Stream::overflowing;
        }
    }
    // Open streams at the deadline mean the tool, or a child it left holding them, is still at work: the deadline
    // is for all of it. Closed streams do not mean the process has ended: the same deadline bounds that wait.
    std::optional<std::int64_t> status;
    if (!pollFailed && !overflowing && !outputOpen && !errorOpen) {
        status = waitForExit(pid, deadline, stop);
    }
    killAndReap(pid);
    const std::string name = executable.filename().string();
    if (overflowing) {
        return failure(name + " printed more than " + std::to_string(kCommandOutputLimit / (1024 * 1024)) +
                       " MiB and was stopped");
    }
    if (!status) {
        if (stopRequested(stop)) {
            return failure(name + " was stopped");
        }
        return failure(name + " did not finish within " + std::to_string(timeout.count()) + " ms");
    }

    CommandResult result;
    result.standardOutput = isValidUtf8(outputBytes) ? outputBytes : std::string();
    result.standardError = isValidUtf8(errorBytes) ? errorBytes : std::string();
    result.exitCode = *status;
    result.success = *status == 0;
    return result;
}

std::optional<std::filesystem::path> findTool(const std::string& name,
                                              const std::optional<std::filesystem::path>& folder) {
    const auto usable = [](const std::filesystem::path& candidate) {
        struct stat info {};
        return ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0;
    };
    if (name.empty() || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    if (folder && !folder->empty() && usable(*folder / name)) {
        return *folder / name;
    }
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return std::nullopt;
    }
    std::string_view rest(path);
    while (true) {
        const auto colon = rest.find(':');
        const std::string_view entry = rest.substr(0, colon);
        // An empty entry means the current folder; a tool is never taken from there.
        if (!entry.empty() && entry.front() == '/') {
            const std::filesystem::path candidate = std::filesystem::path(std::string(entry)) / name;
            if (usable(candidate)) {
                return candidate;
            }
        }
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> programFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        return std::nullopt;
    }
    return exe.parent_path();
}

} // namespace quillobrandt
