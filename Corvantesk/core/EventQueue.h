#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/OptionLimits.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/core/TransportError.h"

namespace corvantesk {

// A bounded, persisted buffer of events of one kind that hands its contents to a send function in batches.
//
// Delivery is at least once: a batch being sent stays in the queue file, ahead of newer events, until the send
// function reports it delivered; if the process ends during a send, the batch is sent again at the next launch
// (event ids let the service drop duplicates). A failed batch keeps its place; when events arrived meanwhile and
// the queue is over its size, the newest events of the batch are dropped.
//
// Flushing: at most one send is in flight. A flush sends the events queued when it began in batches of at most
// `batchSize` events and about kMaxBatchBytes of JSON, one after the other, and stops at the first failure.
// Reaching `batchSize` pending events asks for a flush; a request made during a send is served right after it.
// After a failed send, size-triggered flushes wait for the next timer tick; after a 429 with Retry-After (capped
// at one hour) nothing is sent before that time.
//
// Threads: startAutoFlush() starts two threads: a writer that saves the queue file after changes (coalescing
// them), runs the housekeeping callback and decides when to flush (by size, and once per `flushInterval`), and a
// sender that runs those flushes. Sending on its own thread keeps events tracked during a long send going to
// disk at once. stopAutoFlush() (and the destructor) wakes and joins both, cancelling a send in progress through
// its stop_token. While they do not run, enqueue writes the file on the caller's thread and size triggers wait
// for the next start or an explicit flush().
//
// Every public member may be called from any thread and never throws (send and file failures stay inside).
// Event must convert to and from nlohmann::json (its queue-file form) and be copyable.
template <class Event> class EventQueue {
public:
    using Clock = std::chrono::steady_clock;

    // About this much JSON per request at most (an event larger on its own still goes, alone).
    static constexpr std::size_t kMaxBatchBytes = 1024 * 1024;
    // Timer flushes come at least this far apart, however small the configured interval.
    static constexpr double kMinFlushInterval = 1.0;

    // Delivers one batch, oldest first. Returns true when the service took it. May throw; a TransportError of
    // kind rateLimited sets the Retry-After pause. Called on the sender thread or the thread calling flush(),
    // never with the queue's lock held; it must honour `cancel` and should end by `deadline` (Clock::time_point
    // ::max() when the flush has none), so that stopping keeps its own deadline.
    using SendBatch =
        std::function<bool(const std::vector<Event>& batch, std::stop_token cancel, Clock::time_point deadline)>;
    // The time source for Retry-After pauses; tests pass their own.
    using Now = std::function<Clock::time_point()>;
    // Work to do on the writer thread (persisting something else now and then); returns when it next wants to run.
    using Housekeeping = std::function<Clock::time_point()>;

    // Loads the queue file (all of it, even beyond maxQueueSize). Values are clamped: sizes at least 1, an
    // interval that is not finite or not positive becomes 30 s, at least 1 s, at most a day. `storage` must
    // outlive the queue.
    EventQueue(std::string queueName, std::int64_t batchSize, double flushInterval, std::int64_t maxQueueSize,
               bool debug, SendBatch sendBatch, Storage& storage = Storage::shared(), Now now = &Clock::now)
        : name_(std::move(queueName)), batchSize_(static_cast<std::size_t>(effectiveBatchSize(batchSize))),
          interval_(effectiveInterval(flushInterval, 30.0, kMinFlushInterval)),
          maxSize_(static_cast<std::size_t>(effectiveQueueSize(maxQueueSize))), debug_(debug),
          send_(std::move(sendBatch)), storage_(storage), now_(std::move(now)) {
        auto loaded = storage_.loadOfflineEvents<Event>(name_);
        events_.assign(std::make_move_iterator(loaded.begin()), std::make_move_iterator(loaded.end()));
        if (!events_.empty()) {
            debugLine(debug_, "Loaded " + std::to_string(events_.size()) + " persisted " + name_ + " events");
        }
    }

    // Stops the worker and writes the file a last time.
    ~EventQueue() {
        stopAutoFlush();
        persistIfDirty();
    }

    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    const std::string& queueName() const { return name_; }

    // Appends one event, dropping the oldest pending ones when the queue is full. Cheap on the caller's
    // thread while the worker runs (the file is written by the worker).
    void enqueue(Event event) {
        std::string dropLine;
        std::string line;
        bool running = false;
        {
            std::lock_guard lock(mutex_);
            if (retired_) {
                return;
            }
            if (const std::size_t dropped = makeRoomLocked(); dropped > 0 && debug_) {
                dropLine = "Queue " + name_ + " at max size, dropped " + std::to_string(dropped) + " oldest events";
            }
            events_.push_back(std::move(event));
            afterAppendLocked();
            if (debug_) {
                line = "Enqueued " + name_ + " event (queue size: " + std::to_string(pendingLocked()) + ")";
            }
            running = running_;
        }
        debugLine(debug_ && !dropLine.empty(), dropLine);
        debugLine(debug_, line);
        afterChange(running);
    }

    // Appends several events in order (one file write for all of them).
    void enqueue(std::vector<Event> events) {
        std::string line;
        bool running = false;
        const std::size_t given = events.size();
        {
            std::lock_guard lock(mutex_);
            if (retired_) {
                return;
            }
            for (auto& event : events) {
                makeRoomLocked();
                events_.push_back(std::move(event));
            }
            afterAppendLocked();
            if (debug_) {
                line = "Enqueued " + std::to_string(given) + " " + name_ +
                       " events (queue size: " + std::to_string(pendingLocked()) + ")";
            }
            running = running_;
        }
        debugLine(debug_, line);
        afterChange(running);
    }

    // Sends everything buffered (in as many batches as it takes) and blocks until the sending has ended. Waits
    // for a send already in flight first. Does nothing while a Retry-After pause lasts. With a deadline, each
    // request gets only the time left and no new one starts after it.
    void flush(Clock::time_point deadline = Clock::time_point::max()) { flushOnce(true, deadline); }

    // Work for the writer thread (set before startAutoFlush()); see Housekeeping.
    void setHousekeeping(Housekeeping work) {
        std::lock_guard lock(mutex_);
        housekeeping_ = std::move(work);
    }

    void startAutoFlush() {
        std::lock_guard lifecycle(lifecycleMutex_);
        {
            std::lock_guard lock(mutex_);
            if (running_) {
                return;
            }
            running_ = true;
            sendWanted_ = false;
            cancel_ = std::stop_source();
        }
        worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
        sender_ = std::jthread([this](std::stop_token stop) { sendLoop(stop); });
        debugLine(debug_, "Started auto-flush for " + name_ + " (interval: " + plainDecimal(interval_) + "s)");
    }

    void stopAutoFlush() {
        std::jthread worker;
        std::jthread sender;
        {
            std::lock_guard lifecycle(lifecycleMutex_);
            {
                std::lock_guard lock(mutex_);
                if (!running_) {
                    return;
                }
                running_ = false;
                cancel_.request_stop();
            }
            worker = std::move(worker_);
            sender = std::move(sender_);
        }
        sender.request_stop();
        worker.request_stop();
        sender.join();
        worker.join();
        debugLine(debug_, "Stopped auto-flush for " + name_);
    }

    bool isRunning() const {
        std::lock_guard lock(mutex_);
        return running_;
    }

    // Events not yet delivered, including a batch being sent.
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }

    // A copy of the events not yet delivered, oldest first.
    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return std::vector<Event>(events_.begin(), events_.end());
    }

    // Forgets every event (a batch in flight too) and deletes the queue file.
    void clear() {
        {
            std::lock_guard persisting(persistMutex_);
            {
                std::lock_guard lock(mutex_);
                if (retired_) {
                    return;
                }
                events_.clear();
                inFlight_ = 0;
                flushRequested_ = false;
                ++generation_;
                persistedVersion_ = ++version_;
            }
            storage_.clearOfflineEvents(name_);
        }
        debugLine(debug_, "Cleared " + name_ + " queue");
    }

    // Stops the worker, writes the file a last time and lets go of it for a new queue to take over: later events
    // are dropped and nothing is written or sent any more.
    void retire() {
        stopAutoFlush();
        persistIfDirty();
        std::lock_guard persisting(persistMutex_);
        std::lock_guard lock(mutex_);
        retired_ = true;
    }

    // Writes the queue file now, on the caller's thread. Returns whether the file holds every event queued
    // before the call.
    bool persist() {
        {
            std::lock_guard lock(mutex_);
            ++version_;
        }
        return persistIfDirty();
    }

private:
    std::size_t pendingLocked() const { return events_.size() - inFlight_; }

    // Drops the oldest pending events (never the batch in flight) so that one more fits.
    std::size_t makeRoomLocked() {
        const std::size_t pending = pendingLocked();
        if (pending < maxSize_) {
            return 0;
        }
        const std::size_t dropped = pending - maxSize_ + 1;
        const auto first = events_.begin() + static_cast<std::ptrdiff_t>(inFlight_);
        events_.erase(first, first + static_cast<std::ptrdiff_t>(dropped));
        return dropped;
    }

    void afterAppendLocked() {
        ++version_;
        if (pendingLocked() >= batchSize_) {
            flushRequested_ = true;
        }
    }

    void afterChange(bool running) {
        if (running) {
            wake_.notify_one();
        } else {
            persistIfDirty();
        }
    }

    bool sizeFlushAllowedLocked() const {
        return flushRequested_ && !flushing_ && !holdUntilTick_ && now_() >= notBefore_;
    }

    void run(std::stop_token stop) {
        const auto interval = std::chrono::duration_cast<Clock::duration>(toDuration(interval_));
        auto nextTick = Clock::now() + interval;
        auto nextHousekeeping = Clock::now();
        while (!stop.stop_requested()) {
            bool tick = false;
            bool sizeFlush = false;
            Housekeeping housekeeping;
            {
                std::unique_lock lock(mutex_);
                wake_.wait_until(lock, stop, std::min(nextTick, nextHousekeeping),
                                 [&] { return version_ != persistedVersion_ || sizeFlushAllowedLocked(); });
                if (stop.stop_requested()) {
                    break;
                }
                const auto now = Clock::now();
                if (now >= nextTick) {
                    tick = true;
                    holdUntilTick_ = false;
                    nextTick = now + interval;
                }
                sizeFlush = sizeFlushAllowedLocked();
                if (tick || sizeFlush) {
                    flushRequested_ = false; // handed to the sender; asked again if it is busy
                    sendWanted_ = true;
                }
                housekeeping = housekeeping_;
            }
            if (tick || sizeFlush) {
                sendWake_.notify_one();
            }
            persistIfDirty();
            nextHousekeeping = housekeeping ? runHousekeeping(housekeeping) : Clock::time_point::max();
        }
        persistIfDirty();
    }

    static Clock::time_point runHousekeeping(const Housekeeping& work) {
        try {
            return work();
        } catch (...) {
            return Clock::now() + std::chrono::seconds(5);
        }
    }

    void sendLoop(std::stop_token stop) {
        while (!stop.stop_requested()) {
            {
                std::unique_lock lock(mutex_);
                sendWake_.wait(lock, stop, [&] { return sendWanted_; });
                if (stop.stop_requested()) {
                    return;
                }
                sendWanted_ = false;
            }
            flushOnce(false, Clock::time_point::max());
        }
    }

    // Sends the events queued at the start, batch after batch, until one fails or time runs out.
    void flushOnce(bool waitForIdle, Clock::time_point deadline) {
        std::size_t remaining = 0;
        {
            std::unique_lock lock(mutex_);
            if (waitForIdle) {
                idle_.wait(lock, [&] { return !flushing_; });
            } else if (flushing_) {
                flushRequested_ = true;
                return;
            }
            flushing_ = true;
            flushRequested_ = false;
            remaining = events_.size();
        }
        while (remaining > 0 && Clock::now() < deadline && sendOneBatch(remaining, deadline)) {
        }
        {
            std::lock_guard lock(mutex_);
            flushing_ = false;
        }
        idle_.notify_all();
        wake_.notify_one(); // a size trigger that came during the send may go now
    }

    // The first events that fit one request: at most batchSize_, and about kMaxBatchBytes of JSON.
    static std::size_t fittingCount(const std::vector<Event>& candidates) {
        std::size_t bytes = 0;
        std::size_t count = 0;
        for (const auto& event : candidates) {
            std::size_t size = kMaxBatchBytes;
            try {
                size = nlohmann::json(event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size();
            } catch (...) {
            }
            // The wire form spells dates out and adds commas and the batch's own fields: leave room for that.
            size += size / 8 + 64;
            if (count > 0 && bytes + size > kMaxBatchBytes - 16 * 1024) {
                break;
            }
            bytes += size;
            ++count;
        }
        return count;
    }

    // Sends one batch from the front. Returns true when it was delivered and more of `remaining` is left.
    bool sendOneBatch(std::size_t& remaining, Clock::time_point deadline) {
        std::vector<Event> batch;
        std::stop_token cancel;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex_);
            if (retired_ || now_() < notBefore_ || events_.empty()) {
                return false;
            }
            const std::size_t count = std::min({batchSize_, remaining, events_.size()});
            batch.assign(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(count));
            inFlight_ = count;
            generation = generation_;
            cancel = cancel_.get_token();
        }
        // Measured outside the lock: enqueueing never waits for it.
        if (const std::size_t fitting = fittingCount(batch); fitting < batch.size()) {
            batch.resize(fitting);
            std::lock_guard lock(mutex_);
            if (generation == generation_) {
                inFlight_ = fitting;
            }
        }
        debugLine(debug_, "Flushing " + std::to_string(batch.size()) + " " + name_ + " events");
        persistIfDirty(); // the batch is on disk while it is away

        bool delivered = false;
        std::optional<double> pause;
        std::string failure;
        try {
            delivered = send_ && send_(batch, cancel, deadline);
        } catch (const TransportError& error) {
            failure = error.debugDescription();
            if (error.kind() == TransportError::Kind::rateLimited && error.retryAfter()) {
                pause = std::min(*error.retryAfter(), kMaxRetryAfterSeconds);
            }
        } catch (const std::exception& error) {
            failure = error.what();
        } catch (...) {
            failure = "unknown error";
        }

        std::string requeueLine;
        bool more = false;
        {
            std::lock_guard lock(mutex_);
            if (generation == generation_) {
                const auto batchEnd = events_.begin() + static_cast<std::ptrdiff_t>(inFlight_);
                if (delivered) {
                    events_.erase(events_.begin(), batchEnd);
                    remaining -= std::min(remaining, inFlight_);
                    more = remaining > 0;
                } else {
                    const std::size_t pending = pendingLocked();
                    const std::size_t space = maxSize_ > pending ? maxSize_ - pending : 0;
                    const std::size_t kept = std::min(space, inFlight_);
                    events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(kept), batchEnd);
                    const std::size_t dropped = inFlight_ - kept;
                    requeueLine = dropped < 1 ? "Re-queued " + std::to_string(kept) + " events for retry"
                                              : "Re-queued " + std::to_string(kept) + " events, dropped " +
                                                    std::to_string(dropped) + " due to max size";
                    holdUntilTick_ = true;
                    if (pause) {
                        notBefore_ = now_() + std::chrono::duration_cast<Clock::duration>(toDuration(*pause));
                    }
                }
                ++version_;
            }
            inFlight_ = 0;
        }
        if (!failure.empty()) {
            debugLine(debug_, "Failed to send " + name_ + " batch: " + failure);
        }
        debugLine(debug_ && !requeueLine.empty(), requeueLine);
        persistIfDirty();
        return more && !cancel.stop_requested();
    }

    // Writes the file when the buffer changed since the last write. Snapshots and writes are serialised so the
    // file never goes back to an older state. Returns false when a needed write failed.
    bool persistIfDirty() {
        std::lock_guard persisting(persistMutex_);
        std::vector<Event> snapshot;
        std::uint64_t version = 0;
        {
            std::lock_guard lock(mutex_);
            if (version_ == persistedVersion_ || retired_) {
                return true;
            }
            version = version_;
            snapshot.assign(events_.begin(), events_.end());
        }
        const bool written = storage_.saveOfflineEvents(snapshot, name_);
        std::lock_guard lock(mutex_);
        persistedVersion_ = std::max(persistedVersion_, version);
        return written;
    }

    const std::string name_;
    const std::size_t batchSize_;
    const double interval_;
    const std::size_t maxSize_;
    const bool debug_;
    const SendBatch send_;
    Storage& storage_;
    const Now now_;

    mutable std::mutex mutex_; // guards everything below except worker_
    std::condition_variable_any wake_;
    std::condition_variable_any idle_;
    std::condition_variable_any sendWake_;
    bool sendWanted_ = false; // the writer asks the sender for a flush
    Housekeeping housekeeping_;
    std::deque<Event> events_; // the first inFlight_ are the batch being sent
    std::size_t inFlight_ = 0;
    bool flushing_ = false;
    bool flushRequested_ = false;
    bool holdUntilTick_ = false;
    Clock::time_point notBefore_{};
    std::uint64_t generation_ = 0; // bumped by clear(), so a returning batch knows it was forgotten
    std::uint64_t version_ = 0;
    std::uint64_t persistedVersion_ = 0;
    bool running_ = false;
    bool retired_ = false; // the file belongs to another queue now
    std::stop_source cancel_;

    std::mutex persistMutex_;
    std::mutex lifecycleMutex_; // guards worker_ and sender_
    std::jthread worker_;
    std::jthread sender_;
};

} // namespace corvantesk
