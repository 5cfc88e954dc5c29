#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QThreadPool;

namespace platform {

// Work a GUI object runs off the GUI thread: a private pool, results that hop back to the owner and are
// dropped once it is gone, and an end that waits only briefly, so closing a window during a long task
// never keeps the process alive. GUI thread only, except post(), which any thread may call.
class BackgroundWork {
public:
    // `owner` receives the posted results and must outlive nothing: the owner's destructor ends this.
    BackgroundWork(QObject* owner, int maxThreads, const QString& name);
    // Drops every result not yet delivered, waits up to quitWait for running tasks (callers ask them to
    // stop first), then lets what still runs finish unwatched.
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    static constexpr std::chrono::milliseconds quitWait{400};

    // Runs `task` on the pool, on a thread with an alternate signal stack. A task must reach its owner only through
    // post().
    void start(std::function<void()> task);
    // Any thread: runs `work` on the owner's thread, unless the owner has gone by then.
    std::function<void(std::function<void()>)> poster() const;
    // For tests: blocks until no task runs (posted results still need the event loop).
    bool waitForDone(int timeoutMs);

private:
    struct Channel {
        std::mutex mutex;
        QObject* owner = nullptr;
    };
    std::shared_ptr<Channel> channel_;
    QThreadPool* pool_;
};

} // namespace platform
