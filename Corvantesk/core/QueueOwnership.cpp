#include "Corvantesk/core/QueueOwnership.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Corvantesk/core/SetAsideFiles.h"
#include "Corvantesk/core/Storage.h"
#include "platform/core/Uuid.h"

namespace fs = std::filesystem;

namespace corvantesk {
namespace {

constexpr std::string_view kPrefix = "corvantesk_offline_";

bool tryLock(const platform::FileDescriptor& fd) {
    return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

bool isUuidText(std::string_view text) {
    return text.size() == 36 && std::all_of(text.begin(), text.end(), [](char c) {
               return c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
           });
}

fs::path lockPath(const fs::path& folder, const std::string& fileName) {
    return folder / (std::string(kPrefix) + fileName + ".lock");
}

// Whether the entry at a lock's path is one no instance can open to lock (a FIFO, a folder, a link, another
// user's file), as opposed to one that failed to open for a passing reason. `found` is what lstat() gave.
bool cannotEverBeLocked(const fs::path& path, struct stat& found) {
    if (::lstat(path.c_str(), &found) != 0) {
        return false;
    }
    if (!S_ISREG(found.st_mode)) {
        return true;
    }
    const platform::FileDescriptor fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return !fd && (errno == EACCES || errno == EPERM);
}

} // namespace

platform::FileDescriptor openRegularFile(const fs::path& path, int flags) {
    platform::FileDescriptor fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        return {};
    }
    return fd;
}

QueueOwnership::QueueOwnership(Storage& storage, const std::string& queueName)
    : storage_(storage), queueName_(queueName) {
    const fs::path folder = storage_.directory();
    const fs::path lock = lockPath(folder, queueName);
    platform::FileDescriptor shared = openRegularFile(lock, O_RDWR | O_CREAT);
    struct stat found {};
    if (!shared && cannotEverBeLocked(lock, found) && setAside(lock, &found)) {
        // Nobody could ever have taken it: every launch would have kept files of its own that no owner adopts.
        shared = openRegularFile(lock, O_RDWR | O_CREAT);
    }
    if (tryLock(shared)) {
        lock_ = std::move(shared);
        fileName_ = queueName;
        ownsQueueFile_ = true;
        return;
    }
    // Another instance owns the queue file: this one keeps its own, locked before it appears under its name, so
    // an adopter never takes the files of a live instance.
    fileName_ = queueName + "." + platform::makeUuidString();
    std::string temp = (folder / ("." + std::string(kPrefix) + fileName_ + ".lock.tmp-XXXXXX")).string();
    platform::FileDescriptor own(::mkstemp(temp.data()));
    if (tryLock(own) && ::rename(temp.c_str(), lockPath(folder, fileName_).c_str()) == 0) {
        lock_ = std::move(own);
    } else {
        ::unlink(temp.c_str());
    }
}

std::vector<std::string> QueueOwnership::adoptLeftFiles() {
    if (!ownsQueueFile_) {
        return {};
    }
    const fs::path folder = storage_.directory();
    const std::string prefix = std::string(kPrefix) + queueName_ + ".";
    std::set<std::string> ids;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix)) {
            continue;
        }
        const std::string rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        const std::string suffix = dot == std::string::npos ? "" : rest.substr(dot);
        if (isUuidText(rest.substr(0, dot)) &&
            (suffix == ".lock" || suffix == ".json" || suffix == ".journal" || suffix == ".journal2")) {
            ids.insert(rest.substr(0, dot));
        }
    }
    std::vector<std::string> names;
    for (const auto& id : ids) {
        const std::string fileName = queueName_ + "." + id;
        const fs::path path = lockPath(folder, fileName);
        platform::FileDescriptor lock = openRegularFile(path, O_RDWR);
        std::error_code missing;
        if (lock ? !tryLock(lock) : fs::exists(fs::symlink_status(path, missing))) {
            continue; // its instance still runs (or its lock is not ours to judge)
        }
        adopted_.push_back(Adopted{fileName, std::move(lock)});
        names.push_back(fileName);
    }
    return names;
}

void QueueOwnership::removeAdoptedFiles() {
    const fs::path folder = storage_.directory();
    for (auto& adopted : adopted_) {
        storage_.clearOfflineEvents(adopted.fileName);
        ::unlink(lockPath(folder, adopted.fileName).c_str());
    }
    adopted_.clear();
}

void QueueOwnership::release() {
    adopted_.clear();
    lock_.close();
}

} // namespace corvantesk
