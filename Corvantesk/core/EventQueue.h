#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/OptionLimits.h"
#include "Corvantesk/core/QueueFiles.h"
#include "Corvantesk/core/QueueMemory.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/core/TransportError.h"
#include "platform/core/SignalStack.h"

namespace corvantesk {

// A bounded, persisted buffer of events of one kind that hands its contents to a send function in batches.
//
// Delivery is at least once: a batch being sent stays in the queue file, ahead of newer events, until the send
// function reports it delivered; if the process ends during a send, the batch is sent again at the next launch
// (event ids let the service drop duplicates). A failed batch keeps its place; when events arrived meanwhile and
// the queue is over its size, the newest events of the batch are dropped. A batch the service refused for good
// (a 4xx answer other than 408 and 429) is dropped with a debug line; it could never be delivered.
//
// Bounds: at most maxQueueSize events and about kMaxQueueBytes of them in their file form (the oldest pending
// events go first); one event larger than kMaxEventBytes is dropped with a debug line, so every event fits a
// request.
//
// Flushing: at most one send is in flight. A flush sends the events queued when it began in batches of at most
// `batchSize` events and about kMaxBatchBytes of JSON, one after the other, and stops at the first failure.
// Reaching `batchSize` pending events asks for a flush; a request made during a send is served right after it.
// After a failed send, size-triggered flushes wait for the next timer tick; after a 429 with Retry-After (capped
// at one hour) nothing is sent before that time.
//
// Files (QueueFiles): this queue owns its queue file while it lives, or keeps a file of its own when another
// instance owns it. Each change is appended to a journal beside the file (new events in their file form, drops
// as positions), so the disk work follows what changed; the file is written whole when the journal has grown
// past it. Events are encoded for the file on the writer, never on the caller's thread.
//
// Memory: once started, queueing an event takes a block and a slot made and touched as the sender starts (sized
// from the count cap), so a caller neither allocates nor faults a page in; the event's own strings move in. The
// writer keeps each event it has encoded in its file form alone and frees the caller's event, so the memory the
// caller made it in is used again by the next one; batches and events() are read back from that form (which
// holds what the file holds: a date among the properties comes back as its text). An event whose file form does
// not read back (a date past what a file may hold) keeps the caller's copy too, and is sent from that.
//
// Threads: startAutoFlush() starts two threads: a writer that saves changes (coalescing them), runs the
// housekeeping callback and decides when to flush (by size, and once per `flushInterval`), and a sender that runs
// those flushes. Sending on its own thread keeps events tracked during a long send going to disk at once.
// stopAutoFlush() (and the destructor) wakes and joins both, cancelling a send in progress through its
// stop_token. Before the writer runs, events wait in memory (persist(), flush() and the destructor write them);
// size triggers wait for the next start or an explicit flush().
//
// Every public member may be called from any thread and never throws (send and file failures stay inside).
// Event must convert to and from nlohmann::json (its queue-file form) and be copyable.
template <class Event> class EventQueue {
public:
    using Clock = std::chrono::steady_clock;

    // About this much JSON per request at most.
    static constexpr std::size_t kMaxBatchBytes = 1024 * 1024;
    // The largest event kept, in its file form: with the wire form's overhead it still fits one request.
    static constexpr std::size_t kMaxEventBytes = 512 * 1024;
    // The queue's budget in file bytes, well under what a queue file may be to be loaded again.
    static constexpr std::size_t kMaxQueueBytes = 16 * 1024 * 1024;
    static_assert(2 * kMaxQueueBytes < Storage::kMaxQueueFileBytes);
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

    // Takes the queue's files (QueueFiles) and loads them, all of it, even beyond maxQueueSize; elements that do
    // not decode are skipped. Values are clamped: sizes at least 1, an interval that is not finite or not
    // positive becomes 30 s, at least 1 s, at most a day. `storage` must outlive the queue.
    EventQueue(std::string queueName, std::int64_t batchSize, double flushInterval, std::int64_t maxQueueSize,
               bool debug, SendBatch sendBatch, Storage& storage = Storage::shared(), Now now = &Clock::now)
        : name_(std::move(queueName)), batchSize_(static_cast<std::size_t>(effectiveBatchSize(batchSize))),
          interval_(effectiveInterval(flushInterval, 30.0, kMinFlushInterval)),
          maxSize_(static_cast<std::size_t>(effectiveQueueSize(maxQueueSize))), debug_(debug),
          send_(std::move(sendBatch)), storage_(storage), now_(std::move(now)),
          files_(std::make_unique<QueueFiles>(storage_, name_)) {
        std::size_t skippedRecords = 0;
        const nlohmann::json array = files_->load(skippedRecords);
        std::size_t skipped = 0;
        for (const auto& element : array) {
            try {
                std::string text = element.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                if (text.size() > kMaxEventBytes) {
                    throw std::length_error("event too large for a request");
                }
                (void)element.get<Event>(); // only what reads as an event is kept
                totalBytes_ += text.size();
                events_.push_back(Entry{nullptr, std::make_shared<const std::string>(std::move(text)), nextSeq_++});
            } catch (const std::exception&) {
                ++skipped;
            }
        }
        if (skipped > 0) {
            files_->requireRewrite(); // the positions in the journal would no longer match
        }
        if (files_->needsRewrite()) {
            version_ = 1; // the first write puts the whole queue in its file, adopted events included
        } else {
            for (const auto& entry : events_) {
                onDisk_.push_back(entry.seq);
            }
            journaledSeq_ = nextSeq_ - 1;
        }
        skipped += skippedRecords;
        if (!events_.empty()) {
            debugLine(debug_, "Loaded " + std::to_string(events_.size()) + " persisted " + name_ + " events");
        }
        debugLine(debug_ && skipped > 0,
                  "Skipped " + std::to_string(skipped) + " unreadable persisted " + name_ + " events");
    }

    // Stops the worker and writes the file a last time.
    ~EventQueue() {
        stopAutoFlush();
        persistIfDirty(true);
    }

    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    const std::string& queueName() const { return name_; }

    // Appends one event, dropping the oldest pending ones when the queue is full. Cheap on the caller's thread:
    // the writer saves it.
    void enqueue(Event event) {
        auto item = share(std::move(event));
        std::string dropLine;
        std::string line;
        bool wakeWriter = false;
        {
            std::lock_guard lock(mutex_);
            if (retired_) {
                return;
            }
            if (const std::size_t dropped = makeRoomLocked(); dropped > 0 && debug_) {
                dropLine = "Queue " + name_ + " at max size, dropped " + std::to_string(dropped) + " oldest events";
            }
            events_.push_back(Entry{std::move(item), nullptr, nextSeq_++});
            afterAppendLocked();
            if (debug_) {
                line = "Enqueued " + name_ + " event (queue size: " + std::to_string(pendingLocked()) + ")";
            }
            wakeWriter = running_ && waiting_ && !polling_;
        }
        debugLine(debug_ && !dropLine.empty(), dropLine);
        debugLine(debug_, line);
        afterChange(wakeWriter);
    }

    // Appends several events in order.
    void enqueue(std::vector<Event> events) {
        std::vector<std::shared_ptr<const Event>> items;
        items.reserve(events.size());
        for (auto& event : events) {
            items.push_back(share(std::move(event)));
        }
        std::string line;
        bool wakeWriter = false;
        {
            std::lock_guard lock(mutex_);
            if (retired_) {
                return;
            }
            for (auto& item : items) {
                makeRoomLocked();
                events_.push_back(Entry{std::move(item), nullptr, nextSeq_++});
            }
            afterAppendLocked();
            if (debug_) {
                line = "Enqueued " + std::to_string(items.size()) + " " + name_ +
                       " events (queue size: " + std::to_string(pendingLocked()) + ")";
            }
            wakeWriter = running_ && waiting_ && !polling_;
        }
        debugLine(debug_, line);
        afterChange(wakeWriter);
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
        std::vector<Entry> items;
        {
            std::lock_guard lock(mutex_);
            items.assign(events_.begin(), events_.end());
        }
        std::vector<Event> copy;
        copy.reserve(items.size());
        for (const auto& item : items) {
            appendEvent(copy, item);
        }
        return copy;
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
                removals_.clear();
                totalBytes_ = 0;
                inFlight_ = 0;
                flushRequested_ = false;
                ++generation_;
                journaledSeq_ = nextSeq_ - 1;
                persistedVersion_ = ++version_;
            }
            files_->clear();
            onDisk_.clear();
        }
        debugLine(debug_, "Cleared " + name_ + " queue");
    }

    // Stops the worker, writes the file a last time and lets go of it for a new queue to take over: later events
    // are dropped and nothing is written or sent any more.
    void retire() {
        stopAutoFlush();
        persistIfDirty(true);
        std::lock_guard persisting(persistMutex_);
        {
            std::lock_guard lock(mutex_);
            retired_ = true;
        }
        files_->release();
    }

    // Writes what changed now, on the caller's thread, and flushes it to the disk. Returns whether the files
    // hold every event queued before the call.
    bool persist() {
        {
            std::lock_guard lock(mutex_);
            ++version_;
        }
        return persistIfDirty(true);
    }

    // Bytes this queue has handed to the disk, for measurements.
    std::uint64_t bytesWritten() const {
        std::lock_guard persisting(persistMutex_);
        return files_->bytesWritten();
    }

    // Whether the memory callers' events go into is made (see Memory above), for measurements.
    bool callersMemoryReady() const {
        std::lock_guard lock(mutex_);
        return memoryReady_;
    }

private:
    // An event as the caller queued it until the writer has encoded it, then its file form alone: the caller's
    // allocations go back at once, so its heap does not grow (a page fault every few events) as the queue fills.
    // Both when the file form does not read back.
    struct Entry {
        std::shared_ptr<const Event> event;
        std::shared_ptr<const std::string> text;
        std::uint64_t seq = 0; // increasing along the queue
        // Size in the file form, once the writer has encoded it.
        std::size_t bytes() const { return text ? text->size() : 0; }
    };
    struct SeqRange {
        std::uint64_t first;
        std::uint64_t last;
    };

    std::size_t pendingLocked() const { return events_.size() - inFlight_; }

    std::shared_ptr<const Event> share(Event&& event) {
        return std::allocate_shared<const Event>(PoolAllocator<const Event>(pool_), std::move(event));
    }

    // The event `text` is the file form of, when it reads back as one.
    static std::optional<Event> decoded(const std::string& text) {
        try {
            return nlohmann::json::parse(text).template get<Event>();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    // Appends the entry's event: the caller's while it is kept, else read from its file form (which read back
    // when it was kept, so only a lack of memory leaves it out).
    static void appendEvent(std::vector<Event>& events, const Entry& entry) {
        if (entry.event) {
            events.push_back(*entry.event);
        } else if (auto event = decoded(*entry.text)) {
            events.push_back(std::move(*event));
        }
    }

    // Makes and touches, on the sender, the memory the callers' events go into while it runs: blocks for the
    // events themselves (as many as the count cap, for a writer held up by a slow disk, as many again dropped by
    // callers before a writer held up that long could free them, and a few more), the window of entries, and the
    // lists of what they drop. At most kMaxPooledBytes of blocks; beyond them events come from the heap.
    void prepareMemory() {
        const std::size_t blockSize = sizeof(Event) + kSharedOverhead;
        const std::size_t blocks = std::min(maxSize_ + std::min(maxSize_, kDropSlack) + kBlockSlack,
                                            std::max<std::size_t>(kMaxPooledBytes / blockSize, 1));
        pool_.reserve(blockSize, blocks);
        auto window = SlidingWindow<Entry>::touchedStorage(std::min(4 * blocks, blocks + kMaxWindowSlack));
        auto discarded = touchedEmptyVector<Entry>(kDropSlack);
        auto removals = touchedEmptyVector<SeqRange>(kDropSlack);
        auto freeing = touchedEmptyVector<Entry>(kDropSlack);
        auto removing = touchedEmptyVector<SeqRange>(kDropSlack);
        // Both locks at once: the writer swaps these lists in pairs, and must not swap a short one back in
        // between (each list is checked on its own for the same reason).
        std::lock_guard persisting(persistMutex_);
        if (freeing_.capacity() < kDropSlack) {
            freeing_.swap(freeing); // empty whenever the writer does not hold persistMutex_
        }
        if (removing_.capacity() < kDropSlack) {
            removing_.swap(removing);
        }
        std::lock_guard lock(mutex_);
        if (discarded_.capacity() < kDropSlack) {
            std::move(discarded_.begin(), discarded_.end(), std::back_inserter(discarded));
            discarded_.swap(discarded);
        }
        if (removals_.capacity() < kDropSlack) {
            removals.insert(removals.end(), removals_.begin(), removals_.end());
            removals_.swap(removals);
        }
        if (events_.size() < window.size()) {
            window = events_.adopt(std::move(window));
        }
        memoryReady_ = true;
        // What is left of the old storage is freed as this returns, outside the lock.
    }

    std::size_t indexOfLocked(std::uint64_t seq) const {
        const auto at = std::lower_bound(events_.begin(), events_.end(), seq,
                                         [](const Entry& entry, std::uint64_t value) { return entry.seq < value; });
        return at != events_.end() && at->seq == seq ? static_cast<std::size_t>(at - events_.begin()) : events_.size();
    }

    // Removes events [first, last) and notes them for the journal when the writer has seen any of them. With
    // `keep`, what they hold is moved there to be freed elsewhere.
    void eraseLocked(std::size_t first, std::size_t last, std::vector<Entry>* keep = nullptr) {
        if (first >= last) {
            return;
        }
        const auto begin = events_.begin() + static_cast<std::ptrdiff_t>(first);
        const auto end = events_.begin() + static_cast<std::ptrdiff_t>(last);
        if (begin->seq <= journaledSeq_) {
            removals_.push_back(SeqRange{begin->seq, (end - 1)->seq});
        }
        for (auto it = begin; it != end; ++it) {
            totalBytes_ -= it->bytes();
            if (keep != nullptr) {
                keep->push_back(std::move(*it));
            }
        }
        events_.erase(begin, end);
        ++version_;
    }

    // Drops the oldest pending events (never the batch in flight) so that one more fits.
    std::size_t makeRoomLocked() {
        const std::size_t pending = pendingLocked();
        if (pending < maxSize_) {
            return 0;
        }
        const std::size_t dropped = pending - maxSize_ + 1;
        // The oldest events have long left the caches: freeing them is the writer's work, not the caller's.
        eraseLocked(inFlight_, inFlight_ + dropped, running_ ? &discarded_ : nullptr);
        return dropped;
    }

    void afterAppendLocked() {
        ++version_;
        if (pendingLocked() >= batchSize_) {
            flushRequested_ = true;
        }
    }

    void afterChange(bool wakeWriter) {
        if (wakeWriter) {
            wake_.notify_one();
        }
    }

    bool sizeFlushAllowedLocked() const {
        return flushRequested_ && !flushing_ && !holdUntilTick_ && now_() >= notBefore_;
    }

    void run(std::stop_token stop) {
        platform::ThreadSignalStack signalStack;
        const auto interval = std::chrono::duration_cast<Clock::duration>(toDuration(interval_));
        auto nextTick = Clock::now() + interval;
        auto nextHousekeeping = Clock::now();
        auto pollUntil = Clock::time_point::min();
        while (!stop.stop_requested()) {
            bool tick = false;
            bool sizeFlush = false;
            Housekeeping housekeeping;
            const auto syncDue = unsyncedSince();
            {
                std::unique_lock lock(mutex_);
                // While changes keep coming, the writer looks for them every few milliseconds and the callers
                // need not wake it (waking a thread costs a caller a system call); once things are quiet it
                // waits to be woken. Decided under the lock that the callers read it with.
                const auto before = Clock::now();
                polling_ = before < pollUntil;
                const auto wakeAt = std::min({nextTick, nextHousekeeping, syncDue + kSyncDelay,
                                              polling_ ? before + kPollInterval : Clock::time_point::max()});
                waiting_ = true;
                wake_.wait_until(lock, stop, wakeAt,
                                 [&] { return version_ != persistedVersion_ || sizeFlushAllowedLocked(); });
                waiting_ = false;
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
                if (version_ != persistedVersion_) {
                    pollUntil = now + kPollFor;
                }
                housekeeping = housekeeping_;
            }
            if (tick || sizeFlush) {
                sendWake_.notify_one();
            }
            persistIfDirty(false);
            nextHousekeeping = housekeeping ? runHousekeeping(housekeeping) : Clock::time_point::max();
        }
        {
            std::lock_guard lock(mutex_);
            polling_ = false;
        }
        persistIfDirty(true);
    }

    static Clock::time_point runHousekeeping(const Housekeeping& work) {
        try {
            return work();
        } catch (...) {
            return Clock::now() + std::chrono::seconds(5);
        }
    }

    void sendLoop(std::stop_token stop) {
        platform::ThreadSignalStack signalStack;
        // Here rather than on the writer: touching up to kMaxPooledBytes takes tens of milliseconds where page
        // faults are dear, and the writer saves the first events meanwhile (a kill then loses none of them).
        prepareMemory();
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

    // The first events that fit one request: at most batchSize_ (the caller's cut), and about kMaxBatchBytes of
    // JSON. At least one: no event kept is too large for a request alone.
    static std::size_t fittingCount(const std::vector<std::size_t>& sizes) {
        std::size_t bytes = 0;
        std::size_t count = 0;
        for (std::size_t size : sizes) {
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

    // Sends one batch from the front. Returns true when it was delivered (or refused for good) and more of
    // `remaining` is left.
    bool sendOneBatch(std::size_t& remaining, Clock::time_point deadline) {
        persistIfDirty(false); // the batch is on disk while it is away, and every event in it has its size
        // Held to the end, so that what the batch holds is freed after it has left the queue, outside the lock.
        std::vector<Entry> items;
        std::stop_token cancel;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex_);
            if (retired_ || now_() < notBefore_ || events_.empty()) {
                return false;
            }
            // Only events the writer has measured: later ones go in the next batch.
            std::vector<std::size_t> sizes;
            const std::size_t most = std::min({batchSize_, remaining, events_.size()});
            for (std::size_t i = 0; i < most && events_[i].text; ++i) {
                sizes.push_back(events_[i].bytes());
            }
            if (sizes.empty()) {
                return false;
            }
            const std::size_t count = fittingCount(sizes);
            items.assign(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(count));
            inFlight_ = count;
            generation = generation_;
            cancel = cancel_.get_token();
        }
        std::vector<Event> batch;
        batch.reserve(items.size());
        for (const auto& item : items) {
            appendEvent(batch, item);
        }
        debugLine(debug_ && batch.size() < items.size(), "Dropped " + std::to_string(items.size() - batch.size()) +
                                                             " " + name_ + " events that could not be read back");
        debugLine(debug_, "Flushing " + std::to_string(batch.size()) + " " + name_ + " events");

        bool delivered = false;
        bool refused = false;
        std::optional<double> pause;
        std::string failure;
        try {
            // A batch none of whose events reads any more could never be sent: it goes as if delivered.
            delivered = batch.empty() || (send_ && send_(batch, cancel, deadline));
        } catch (const TransportError& error) {
            failure = error.debugDescription();
            refused = error.isRefusedForGood();
            if (refused) {
                failure = error.description();
            }
            if (error.kind() == TransportError::Kind::rateLimited && error.retryAfter()) {
                pause = std::min(*error.retryAfter(), kMaxRetryAfterSeconds);
            }
        } catch (const std::exception& error) {
            failure = error.what();
        } catch (...) {
            failure = "unknown error";
        }

        std::string line;
        bool more = false;
        {
            std::lock_guard lock(mutex_);
            if (generation == generation_) {
                if (delivered || refused) {
                    const std::size_t sent = inFlight_;
                    eraseLocked(0, sent);
                    remaining -= std::min(remaining, sent);
                    more = remaining > 0;
                    if (refused) {
                        line =
                            "Dropped " + std::to_string(sent) + " " + name_ + " events the service refused: " + failure;
                    }
                } else {
                    const std::size_t pending = pendingLocked();
                    const std::size_t space = maxSize_ > pending ? maxSize_ - pending : 0;
                    const std::size_t kept = std::min(space, inFlight_);
                    const std::size_t dropped = inFlight_ - kept;
                    eraseLocked(kept, inFlight_);
                    line = dropped < 1 ? "Re-queued " + std::to_string(kept) + " events for retry"
                                       : "Re-queued " + std::to_string(kept) + " events, dropped " +
                                             std::to_string(dropped) + " due to max size";
                    holdUntilTick_ = true;
                    if (pause) {
                        notBefore_ = now_() + std::chrono::duration_cast<Clock::duration>(toDuration(*pause));
                    }
                }
            }
            inFlight_ = 0;
        }
        if (!failure.empty() && !refused) {
            debugLine(debug_, "Failed to send " + name_ + " batch: " + failure);
        }
        debugLine(debug_ && !line.empty(), line);
        persistIfDirty(false);
        return more && !cancel.stop_requested();
    }

    // When the journal holds writes not yet flushed to the disk, since when; max() when none.
    Clock::time_point unsyncedSince() {
        std::lock_guard persisting(persistMutex_);
        return files_->hasUnsyncedWrites() ? lastSync_ : Clock::time_point::max() - kSyncDelay;
    }

    // Writes what changed since the last call: the journal records, or the whole file when it is due. Events are
    // encoded here, outside the queue's lock; what is taken under it is in proportion to what changed. Writes
    // are serialised, so the file never goes back to an older state. Returns false when a needed write failed.
    bool persistIfDirty(bool sync) {
        std::lock_guard persisting(persistMutex_);
        std::vector<Entry> added; // the last holders of events the writer encodes: they are freed on this thread
        bool whole = false;
        std::uint64_t version = 0;
        // Dropped by callers: freed here, outside the lock, into storage the callers get back empty.
        const FreeOnReturn freeDiscarded{freeing_};
        {
            std::unique_lock lock(mutex_);
            freeing_.swap(discarded_);
            if (retired_) {
                return true;
            }
            if (version_ == persistedVersion_) {
                lock.unlock();
                return syncIfDue(sync);
            }
            version = version_;
            whole = files_->needsRewrite();
            if (whole) {
                added.assign(events_.begin(), events_.end());
            } else {
                auto first = events_.end();
                while (first != events_.begin() && std::prev(first)->seq > journaledSeq_) {
                    --first;
                }
                added.assign(first, events_.end());
            }
            journaledSeq_ = nextSeq_ - 1;
        }

        std::vector<std::shared_ptr<const std::string>> encoded(added.size());
        std::vector<bool> rejected(added.size(), false);
        std::vector<bool> readsBack(added.size(), true);
        for (std::size_t i = 0; i < added.size(); ++i) {
            if (added[i].text) {
                encoded[i] = added[i].text;
                continue;
            }
            try {
                encoded[i] = std::make_shared<const std::string>(
                    nlohmann::json(*added[i].event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
            } catch (...) {
                rejected[i] = true; // cannot be written, so it could not be sent either
            }
            rejected[i] = rejected[i] || !encoded[i] || encoded[i]->size() > kMaxEventBytes;
            readsBack[i] = rejected[i] || decoded(*encoded[i]).has_value();
        }

        std::vector<SeqRange>& removed = removing_;
        std::vector<bool> live(added.size(), false);
        std::vector<std::string> lines;
        {
            std::lock_guard lock(mutex_);
            const bool unchanged = version_ == version;
            for (std::size_t i = 0; i < added.size(); ++i) {
                const std::size_t at = indexOfLocked(added[i].seq);
                if (at == events_.size()) {
                    continue;
                }
                if (rejected[i]) {
                    lines.push_back(encoded[i]
                                        ? "Dropped a " + name_ + " event of " + std::to_string(encoded[i]->size()) +
                                              " bytes, larger than one request may carry"
                                        : "Dropped a " + name_ + " event that cannot be encoded");
                    eraseLocked(at, at + 1);
                    continue;
                }
                if (!events_[at].text) {
                    events_[at].text = encoded[i];
                    totalBytes_ += encoded[i]->size();
                    if (readsBack[i]) {
                        events_[at].event.reset(); // `added` holds it to the end of this call
                    }
                }
            }
            if (const std::size_t dropped = trimToBudgetLocked(); dropped > 0) {
                lines.push_back("Queue " + name_ + " over its size in bytes, dropped " + std::to_string(dropped) +
                                " oldest events");
            }
            for (std::size_t i = 0; i < added.size(); ++i) {
                live[i] = !rejected[i] && indexOfLocked(added[i].seq) != events_.size();
            }
            removing_.clear();
            removing_.swap(removals_); // the callers go on in the cleared one
            persistedVersion_ = std::max(persistedVersion_, unchanged ? version_ : version);
        }
        for (const auto& line : lines) {
            debugLine(debug_, line);
        }

        bool written = false;
        if (whole) {
            std::vector<std::string_view> kept;
            onDisk_.clear();
            for (std::size_t i = 0; i < added.size(); ++i) {
                if (live[i]) {
                    kept.push_back(*encoded[i]);
                    onDisk_.push_back(added[i].seq);
                }
            }
            written = files_->rewrite(kept);
            lastSync_ = Clock::now();
        } else {
            for (const auto& range : removed) {
                const auto from = std::lower_bound(onDisk_.begin(), onDisk_.end(), range.first);
                const auto to = std::upper_bound(from, onDisk_.end(), range.last);
                if (from != to) {
                    files_->drop(static_cast<std::size_t>(from - onDisk_.begin()), static_cast<std::size_t>(to - from));
                    onDisk_.erase(from, to);
                }
            }
            for (std::size_t i = 0; i < added.size(); ++i) {
                if (live[i]) {
                    files_->add(*encoded[i]);
                    onDisk_.push_back(added[i].seq);
                }
            }
            const bool syncNow = sync || Clock::now() - lastSync_ >= kSyncDelay;
            written = files_->commit(syncNow);
            if (syncNow) {
                lastSync_ = Clock::now();
            }
        }
        return written; // a failed write is tried again, whole, at the next change
    }

    // With persistMutex_ held: flushes journal writes to the disk when asked or due.
    bool syncIfDue(bool sync) {
        if (!files_->hasUnsyncedWrites() || (!sync && Clock::now() - lastSync_ < kSyncDelay)) {
            return true;
        }
        lastSync_ = Clock::now();
        return files_->commit(true);
    }

    // Drops the oldest pending events while the queue is over its byte budget; the newest always stays.
    std::size_t trimToBudgetLocked() {
        std::size_t count = 0;
        std::size_t freed = 0;
        while (totalBytes_ - freed > kMaxQueueBytes && inFlight_ + count + 1 < events_.size()) {
            freed += events_[inFlight_ + count].bytes();
            ++count;
        }
        eraseLocked(inFlight_, inFlight_ + count);
        return count;
    }

    // Journal writes reach the disk at most this long after they were made (a kill loses none of them: they
    // are in the system's cache at once).
    static constexpr Clock::duration kSyncDelay = std::chrono::seconds(1);
    // How often the writer looks for changes while they keep coming (what a kill may lose), and for how long
    // after the last one.
    static constexpr Clock::duration kPollInterval = std::chrono::milliseconds(2);
    static constexpr Clock::duration kPollFor = std::chrono::seconds(1);
    // What allocate_shared adds to an event in its block (counts and the allocator), with room to spare.
    static constexpr std::size_t kSharedOverhead = 64;
    // Events dropped between two runs of the writer, held without allocating.
    static constexpr std::size_t kDropSlack = 1024;
    // Blocks for those, and for events the writer or a copy being made still holds after they left the queue.
    static constexpr std::size_t kBlockSlack = 64;
    static constexpr std::size_t kMaxPooledBytes = 8 * 1024 * 1024;
    static constexpr std::size_t kMaxWindowSlack = 64 * 1024;

    // Empties a vector (freeing what it holds) and keeps its storage, as the scope ends.
    struct FreeOnReturn {
        std::vector<Entry>& values;
        ~FreeOnReturn() { values.clear(); }
    };

    const std::string name_;
    const std::size_t batchSize_;
    const double interval_;
    const std::size_t maxSize_;
    const bool debug_;
    const SendBatch send_;
    Storage& storage_;
    const Now now_;

    BlockPool pool_; // before every holder of events, so it outlives them

    mutable std::mutex mutex_; // guards everything below except worker_ and what persistMutex_ guards
    std::condition_variable_any wake_;
    std::condition_variable_any idle_;
    std::condition_variable_any sendWake_;
    bool sendWanted_ = false; // the writer asks the sender for a flush
    Housekeeping housekeeping_;
    SlidingWindow<Entry> events_; // the first inFlight_ are the batch being sent
    std::size_t inFlight_ = 0;
    std::size_t totalBytes_ = 0; // file bytes of the events the writer has measured
    std::uint64_t nextSeq_ = 1;
    std::uint64_t journaledSeq_ = 0; // events up to this one have been taken by the writer
    std::vector<SeqRange> removals_; // removed since the writer last ran, among those it had taken
    std::vector<Entry> discarded_;   // dropped by callers while the writer runs; it frees them
    bool flushing_ = false;
    bool flushRequested_ = false;
    bool holdUntilTick_ = false;
    Clock::time_point notBefore_{};
    std::uint64_t generation_ = 0; // bumped by clear(), so a returning batch knows it was forgotten
    std::uint64_t version_ = 0;
    std::uint64_t persistedVersion_ = 0;
    bool running_ = false;
    bool polling_ = false; // the writer looks for changes by itself: enqueue need not wake it
    bool waiting_ = false; // the writer waits on wake_: only then does enqueue notify it (a system call)
    bool retired_ = false; // the file belongs to another queue now
    bool memoryReady_ = false;
    std::stop_source cancel_;

    mutable std::mutex persistMutex_; // serialises writes; guards files_, onDisk_ and lastSync_
    std::unique_ptr<QueueFiles> files_;
    std::deque<std::uint64_t> onDisk_; // the events in the files, in order
    std::vector<Entry> freeing_;       // swapped with discarded_ and emptied each time
    std::vector<SeqRange> removing_;   // swapped with removals_, the writer's while it persists
    Clock::time_point lastSync_ = Clock::now();

    std::mutex lifecycleMutex_; // guards worker_ and sender_
    std::jthread worker_;
    std::jthread sender_;
};

} // namespace corvantesk
