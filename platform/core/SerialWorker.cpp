#include "platform/core/SerialWorker.h"

#include <pthread.h>
#include <unistd.h>

#include "platform/core/SignalStack.h"

namespace platform {

bool SerialWorker::State::push(Task task) {
    {
        std::lock_guard lock(mutex);
        if (stopping) {
            return false;
        }
        tasks.push_back(std::move(task));
    }
    wake.notify_one();
    return true;
}

SerialWorker::SerialWorker(std::string name)
    : state_(std::make_shared<State>()), thread_([state = state_, name = std::move(name)] { run(state, name); }) {}

SerialWorker::~SerialWorker() {
    requestStop();
    thread_.join();
}

void SerialWorker::run(const std::shared_ptr<State>& state, const std::string& name) {
    ThreadSignalStack signalStack;
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
#endif
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return !state->tasks.empty() || state->stopping; });
        if (state->tasks.empty()) {
            state->idle.notify_all();
            return; // stopping, and nothing is left
        }
        Task task = std::move(state->tasks.front());
        state->tasks.pop_front();
        state->running = true;
        const std::stop_token token = state->stop.get_token();
        lock.unlock();
        try {
            task(token);
        } catch (...) {
            // A task reports its own failures; one that escapes must not take the worker (and the program) down.
        }
        task = nullptr; // what it captured goes on this thread too
        lock.lock();
        state->running = false;
        if (state->tasks.empty()) {
            state->idle.notify_all();
        }
    }
}

bool SerialWorker::post(Task task) {
    return state_->push(std::move(task));
}

SerialWorker::Poster SerialWorker::poster() const {
    return [weak = std::weak_ptr<State>(state_)](Task task) {
        const auto state = weak.lock();
        return state != nullptr && state->push(std::move(task));
    };
}

void SerialWorker::requestStop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->stop.request_stop(); // outside the lock: stop callbacks run here
    state_->wake.notify_one();
}

bool SerialWorker::waitForIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, timeout, [&] { return state_->tasks.empty() && !state_->running; });
}

OnDemandWorker::OnDemandWorker(std::string name) : name_(std::move(name)) {}

OnDemandWorker::~OnDemandWorker() {
    std::unique_ptr<SerialWorker> worker;
    {
        std::lock_guard lock(mutex_);
        dropForkedParentsLocked();
        worker = std::move(worker_);
    }
} // the worker is joined here, outside the lock

void OnDemandWorker::dropForkedParentsLocked() {
    if (worker_ && ownerProcess_ != ::getpid()) {
        (void)worker_.release(); // a forked child: the parent's thread does not run here and cannot be joined
    }
}

SerialWorker* OnDemandWorker::worker(bool start) {
    std::lock_guard lock(mutex_);
    dropForkedParentsLocked();
    if (!worker_ && start) {
        worker_ = std::make_unique<SerialWorker>(name_);
        ownerProcess_ = ::getpid();
    }
    return worker_.get();
}

bool OnDemandWorker::post(SerialWorker::Task task) {
    return worker(true)->post(std::move(task));
}

bool OnDemandWorker::waitForIdle(std::chrono::milliseconds timeout) {
    SerialWorker* running = worker(false);
    return running == nullptr || running->waitForIdle(timeout);
}

} // namespace platform
