#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace platform {

// One long-lived thread, with an alternate signal stack of its own, that runs tasks one after another, in the order
// they were posted. Long jobs that must not overlap, and whose memory should stay in one place, run here: every
// allocation of a task comes from the same thread, so what one task frees the next one reuses.
//
// Each task receives the worker's stop token. The destructor asks it to stop, lets the running task and those still
// queued finish (they see the stop and should end at once, cleaning up after themselves), and joins the thread.
class SerialWorker {
public:
    using Task = std::function<void(std::stop_token)>;
    // Posts a task from any thread, also after the worker's end; false (the task is dropped) once it is stopping.
    using Poster = std::function<bool(Task)>;

    // `name` names the thread (for debuggers and /proc; at most 15 bytes are kept).
    explicit SerialWorker(std::string name);
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Any thread. False once the worker is stopping: the task is then destroyed unrun.
    bool post(Task task);
    Poster poster() const;
    // Asks the running and every later task to stop; later posts are refused.
    void requestStop();

    std::thread::id threadId() const { return thread_.get_id(); }
    bool isWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    // Blocks until no task is queued or running; false when `timeout` passed first. Not from a task.
    bool waitForIdle(std::chrono::milliseconds timeout);

private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<Task> tasks;
        bool running = false;
        bool stopping = false;
        std::stop_source stop;

        bool push(Task task);
    };

    static void run(const std::shared_ptr<State>& state, const std::string& name);

    std::shared_ptr<State> state_;
    std::thread thread_; // last: started once the state is ready
};

// A SerialWorker whose thread starts with the first post, so an owner that never needs it starts no thread, and
// starts anew in a child process made by fork(), where the parent's thread does not run. Any thread may call it.
class OnDemandWorker {
public:
    explicit OnDemandWorker(std::string name);
    // Lets the tasks still queued finish and joins the thread, as SerialWorker does.
    ~OnDemandWorker();
    OnDemandWorker(const OnDemandWorker&) = delete;
    OnDemandWorker& operator=(const OnDemandWorker&) = delete;

    bool post(SerialWorker::Task task);
    // Blocks until no task is queued or running (true at once when the thread never started); false when
    // `timeout` passed first. Not from a task.
    bool waitForIdle(std::chrono::milliseconds timeout);

private:
    SerialWorker* worker(bool start);
    void dropForkedParentsLocked();

    const std::string name_;
    std::mutex mutex_; // guards the two below
    int ownerProcess_ = 0;
    std::unique_ptr<SerialWorker> worker_;
};

} // namespace platform
