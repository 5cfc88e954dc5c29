#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "tests/support/TestEnvironment.h"

namespace quillobrandt {
// Failures name the error's case in words, not as bytes.
inline void PrintTo(const DatabaseError& error, std::ostream* out) {
    *out << error.description();
}
} // namespace quillobrandt

namespace storetest {

// The whole file, to prove that a user's database is byte-for-byte unchanged.
inline std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every entry below a folder (names relative to it) with its type, size and a hash of its bytes: a user's
// folder must look the same after a load or an edited copy, companions ("-wal", "-shm") included.
inline std::map<std::string, std::string> folderListing(const std::filesystem::path& folder) {
    std::map<std::string, std::string> listing;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const auto name = std::filesystem::relative(it->path(), folder).string();
        if (it->is_symlink()) {
            listing[name] = "link to " + std::filesystem::read_symlink(it->path()).string();
        } else if (it->is_regular_file()) {
            const auto bytes = fileBytes(it->path());
            const auto hash = std::hash<std::string>{}(bytes);
            listing[name] = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(hash);
        } else {
            listing[name] = it->is_directory() ? "folder" : "special file";
        }
    }
    return listing;
}

struct ProgressEvent {
    std::string message;
    double fraction = 0.0;
    std::optional<std::string> subMessage{};
    std::optional<double> subFraction{};
};

// Collects every progress call of a load.
class ProgressRecorder {
public:
    quillobrandt::DatabaseProgress callback() {
        return [this](const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                      std::optional<double> subFraction) {
            events.push_back({message, fraction, subMessage, subFraction});
        };
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const auto& event : events) {
            result.push_back(event.message);
        }
        return result;
    }
    std::vector<ProgressEvent> subProgress() const {
        std::vector<ProgressEvent> result;
        for (const auto& event : events) {
            if (event.subMessage) {
                result.push_back(event);
            }
        }
        return result;
    }
    // Removes the "Copying database..." reports that open the load of a user's file (from 0 to 1) and
    // returns how many there were, so a test can look at the loading progress itself.
    std::size_t dropCopying() {
        std::size_t count = 0;
        while (count < events.size() && events[count].message == "Copying database...") {
            ++count;
        }
        events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(count));
        return count;
    }
    std::vector<ProgressEvent> events;
};

// Loads a database with a fresh manager, as every caller does. Unless the file is one of the program's own
// working copies, its folder must be left exactly as it was.
inline std::vector<quillobrandt::Conversation> load(const std::filesystem::path& file,
                                                    const quillobrandt::DatabaseProgress& progress = {}) {
    const bool usersOwn = !quillobrandt::isWorkingCopyLocation(quillobrandt::resolveDatabaseFolder(file));
    const auto before = folderListing(file.parent_path());
    const auto checkFolder = [&] {
        if (usersOwn) {
            EXPECT_EQ(folderListing(file.parent_path()), before) << "the load changed the folder of " << file;
        }
    };
    std::vector<quillobrandt::Conversation> conversations;
    try {
        quillobrandt::DatabaseManager manager;
        conversations = manager.openDatabase(file, std::nullopt, progress);
    } catch (...) {
        checkFolder(); // a refused file must be left alone as well
        throw;
    }
    checkFolder();
    return conversations;
}

// The user's documents folder of the isolated home, made on first use.
inline std::filesystem::path userFolder() {
    const auto folder = qbtest::IsolatedHome::root() / "home" / "Documents";
    std::filesystem::create_directories(folder);
    return folder;
}

inline const quillobrandt::Conversation* findById(const std::vector<quillobrandt::Conversation>& conversations,
                                                  const std::string& id) {
    for (const auto& conversation : conversations) {
        if (conversation.id == id) {
            return &conversation;
        }
    }
    return nullptr;
}

// A POSIX lock over SQLite's lock bytes in a database's main file: they start at 1 GiB with the pending byte, the
// reserved byte and then the 510 bytes of the shared range; `offset` counts from the first of them.
inline struct flock sqliteLockBytes(short type, off_t offset, off_t length) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0x40000000 + offset;
    lock.l_len = length;
    return lock;
}

// A second process running `body`, whose result is its exit status; killed when the holder goes first. `body` calls
// `ready` once it is set up (the constructor returns only then, and throws when the child ends before) and may read
// what the test tells it from `fromParent`.
class ChildProcess {
public:
    using Body = std::function<int(const std::function<void()>& ready, int fromParent)>;
    explicit ChildProcess(const Body& body) {
        int ready[2];
        int told[2];
        if (::pipe(ready) != 0 || ::pipe(told) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(told[1]);
            ::_exit(body([&] { (void)!::write(ready[1], "r", 1); }, told[0]));
        }
        ::close(ready[1]);
        ::close(told[0]);
        toChild_ = told[1];
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (!started) {
            wait();
            throw std::runtime_error("the child process ended before it was ready");
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        ::close(toChild_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // One byte to the child's `fromParent`.
    bool tell() { return ::write(toChild_, "t", 1) == 1; }
    // Waits for the child's end: its exit status, or -1 when it did not exit by itself.
    int wait() {
        int status = 0;
        const bool ended = pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
};

// A load on a thread of its own, held in the middle of its read (at its first chat) until finish(): the moment for
// something else to happen to the same file.
class PausedLoad {
public:
    // Returns once the load is held.
    explicit PausedLoad(const std::filesystem::path& file) {
        auto reading = reading_.get_future();
        loader_ = std::thread([this, file] {
            bool paused = false;
            try {
                conversations_ = quillobrandt::DatabaseManager().openDatabase(
                    file, std::nullopt,
                    [&](const std::string& message, double, const std::optional<std::string>&, std::optional<double>) {
                        if (!paused && message.rfind("Loading conversations", 0) == 0) {
                            paused = true;
                            reading_.set_value();
                            resume_.get_future().wait();
                        }
                    });
            } catch (const quillobrandt::DatabaseError& error) {
                error_ = error;
            }
            if (!paused) {
                reading_.set_value();
            }
        });
        reading.wait();
    }
    ~PausedLoad() { finish(); }
    PausedLoad(const PausedLoad&) = delete;
    PausedLoad& operator=(const PausedLoad&) = delete;

    // Lets the load go on and waits for its end.
    void finish() {
        if (loader_.joinable()) {
            resume_.set_value();
            loader_.join();
        }
    }
    // After finish(): what it read, or the error it ended with.
    const std::vector<quillobrandt::Conversation>& conversations() const { return conversations_; }
    const std::optional<quillobrandt::DatabaseError>& error() const { return error_; }

private:
    std::promise<void> reading_;
    std::promise<void> resume_;
    std::vector<quillobrandt::Conversation> conversations_;
    std::optional<quillobrandt::DatabaseError> error_;
    std::thread loader_;
};

} // namespace storetest
