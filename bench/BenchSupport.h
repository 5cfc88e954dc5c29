#pragma once

// Small helpers shared by the benchmark programs: medians with their spread, standard output sent elsewhere while a
// measured call writes its console lines, and the peak resident memory of this process.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace qbbench {

// A fresh folder for one benchmark program, with HOME, the XDG folders and TMPDIR pointed inside it, so a run
// never reads or writes the user's own files. Made once, on first use.
inline std::filesystem::path isolatedBenchRoot(const std::string& prefix) {
    static const std::filesystem::path root = [&prefix] {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        const std::filesystem::path made = ::mkdtemp(pattern.data());
        for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
            std::filesystem::create_directories(made / name);
            ::setenv(name, (made / name).c_str(), 1);
        }
        return made;
    }();
    return root;
}

struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};

inline Spread spreadOf(std::vector<double> values) {
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

// Counters `name` (the median), `name_min` and `name_max`.
inline void addSpread(benchmark::State& state, const std::string& name, const std::vector<double>& values) {
    const Spread spread = spreadOf(values);
    state.counters[name] = spread.median;
    state.counters[name + "_min"] = spread.min;
    state.counters[name + "_max"] = spread.max;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Where standard output goes while a measured call runs: /dev/null, a pipe drained by a separate `cat` process
// (as a desktop session's journal reads it), or a pseudo-terminal in a terminal's usual line discipline whose master
// a separate `cat` drains (as `script` or a terminal emulator reads a program started from a shell: the line
// discipline does real work per line there, in the writer's own system calls). Each drainer is a program of its own,
// never a fork of this process, which shares its pages and would make it pay copy-on-write faults meanwhile.
enum class StdoutTarget { devNull, pipe, terminal };

inline const char* describe(StdoutTarget target) {
    switch (target) {
    case StdoutTarget::pipe:
        return "stdout to a pipe";
    case StdoutTarget::terminal:
        return "stdout to a terminal";
    case StdoutTarget::devNull:
        break;
    }
    return "stdout to /dev/null";
}

class RedirectedStdout {
public:
    explicit RedirectedStdout(StdoutTarget target) : saved_(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)) {
        std::fflush(stdout);
        if (target == StdoutTarget::terminal) {
            openTerminal();
        } else if (target == StdoutTarget::pipe) {
            reader_ = ::popen("cat >/dev/null", "w");
            if (reader_ == nullptr) {
                throw std::runtime_error("cannot start cat");
            }
            ::dup2(::fileno(reader_), STDOUT_FILENO);
        } else {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    RedirectedStdout(const RedirectedStdout&) = delete;
    RedirectedStdout& operator=(const RedirectedStdout&) = delete;
    ~RedirectedStdout() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        if (reader_ != nullptr) {
            ::pclose(reader_);
        }
        if (drainer_ > 0) {
            // With the last slave descriptor closed the drainer's read fails and it exits.
            int status = 0;
            ::waitpid(drainer_, &status, 0);
        }
    }

private:
    void openTerminal() {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            throw std::runtime_error("cannot open a pseudo-terminal");
        }
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            throw std::runtime_error("cannot open the pseudo-terminal's slave");
        }
        // A new pseudo-terminal starts in the kernel's default discipline, a shell's terminal: output processed,
        // each newline sent as carriage return and newline. Said here in case some system starts it otherwise.
        termios modes{};
        if (::tcgetattr(slave, &modes) == 0 && (modes.c_oflag & (OPOST | ONLCR)) != (OPOST | ONLCR)) {
            modes.c_oflag |= OPOST | ONLCR;
            ::tcsetattr(slave, TCSANOW, &modes);
        }
        // `cat` reads the master as `script` would and throws the text away; its complaint when the slave closes
        // at the end goes to /dev/null too.
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, master, STDIN_FILENO);
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        char name[] = "cat";
        char* arguments[] = {name, nullptr};
        const int spawned = ::posix_spawnp(&drainer_, "cat", &actions, nullptr, arguments, environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(master);
        if (spawned != 0) {
            drainer_ = -1;
            ::close(slave);
            throw std::runtime_error("cannot start cat to drain the pseudo-terminal");
        }
        ::dup2(slave, STDOUT_FILENO);
        ::close(slave);
    }

    int saved_;
    std::FILE* reader_ = nullptr;
    pid_t drainer_ = -1;
};

// Peak resident memory since the last reset (Linux: writing 5 to clear_refs resets VmHWM).
inline void resetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

inline double statusMiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stod(line.substr(field.size() + 1)) / 1024.0;
        }
    }
    return -1;
}

inline double peakMemoryMiB() {
    return statusMiB("VmHWM");
}

inline double residentMemoryMiB() {
    return statusMiB("VmRSS");
}

// The type of the filesystem holding `path` ("ext4", "tmpfs", ...), from the longest mount point containing it.
inline std::string filesystemOf(const std::string& path) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, mountPoint, type, rest;
    std::string best = "unknown";
    std::size_t bestLength = 0;
    while (mounts >> device >> mountPoint >> type && std::getline(mounts, rest)) {
        const bool inside = path == mountPoint || mountPoint == "/" || (path.rfind(mountPoint + "/", 0) == 0);
        if (inside && mountPoint.size() >= bestLength) {
            best = type;
            bestLength = mountPoint.size();
        }
    }
    return best;
}

} // namespace qbbench
