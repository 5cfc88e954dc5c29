#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/QueueCore.h"
#include "Corvantesk/core/QueueEventCodec.h"
#include "Corvantesk/core/QueueMemory.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/core/TransportError.h"

namespace corvantesk {

// A bounded, persisted buffer of events of one kind that hands its contents to a send function in batches.
//
// Thread map (one role per file; the typed layer here only converts events):
// - Callers, any thread (QueueCore.cpp): enqueue() takes the queue lock (QueueState::mutex) for a few pointer
//   moves, and wakes the writer only when it sleeps; count(), events(), start and stop take it briefly too.
// - The writer thread (QueueWriter.cpp): loads the files as it starts (QueueWriterLoad.cpp), encodes new events,
//   writes the journal under the disk lock (QueueWriter's persistMutex_, taken before the queue lock, never the
//   other way round), keeps the mirror of what the files hold (QueueDiskMirror), frees what callers dropped, and
//   asks the sender for flushes. persist(), clear(), retire() and the destructor write on the calling thread
//   under the same disk lock.
// - The disk thread (QueueFiles): flushes writes to the disk and writes the queue file anew, so that neither the
//   writer nor a caller waits for a slow disk unless it asks to (persist()).
// - The sender thread (QueueSender.cpp): makes the callers' memory as it starts, then runs the flushes the writer
//   asks for, under the queue lock, writing the files before and after each batch as persist() does; flush() runs
//   one on the calling thread, one flush at a time. The send function runs with no lock.
// - The lifecycle lock (QueueCore's lifecycleMutex_) guards the writer's and the sender's handles only.
// QueueState lists what callers, writer and sender share under the queue lock; the files and their mirror are the
// QueueWriter's, under the disk lock whichever thread writes, and the disk thread touches only what a job hands
// it. Locks are taken in one order: the lifecycle or the disk lock, then the queue lock, then the block pool's own
// (QueueMemory.h), where callers' events are made and freed.
//
// Delivery is at least once: a batch being sent stays in the queue file, ahead of newer events, until the send
// function reports it delivered; if the process ends during a send, the batch is sent again at the next launch
// (event ids let the service drop duplicates). A failed batch keeps its place, and sends wait for a back-off that
// doubles with each failure in a row; when events arrived meanwhile and the queue is over its size, the newest
// events of the batch are dropped. A batch the service refused for good (an answer about its body, such as 400
// or 413) is sent again in halves, and only an event refused alone is dropped, with a debug line (QueueSender).
//
// Bounds: at most maxQueueSize events and about kMaxQueueBytes of them in their file form (the oldest pending
// events go first); one event larger than kMaxEventBytes is dropped with a debug line, so every event fits a
// request.
//
// Flushing (QueueSender): at most one send is in flight, in batches of at most `batchSize` events and about
// kMaxBatchBytes of JSON. Reaching `batchSize` pending events asks for a flush; a request made during a send is
// served right after it. A flush sends what was queued when it began.
//
// Files (QueueFiles): this queue owns its queue file while it lives, or keeps a file of its own when another
// instance owns it; the writer appends each change to a journal beside it (QueueWriter).
//
// Memory: once started, queueing an event takes a block and a slot made and touched as the sender starts (sized
// from the count cap), so a caller neither allocates nor faults a page in; the event's own strings move in. The
// writer keeps each event it has encoded in its file form alone and frees the caller's event, so the memory the
// caller made it in is used again by the next one; batches and events() are read back from that form (which
// holds what the file holds: a date among the properties comes back as its text). An event whose file form does
// not read back (a date past what a file may hold) keeps the caller's copy too, and is sent from that.
//
// Threads: startAutoFlush() starts the writer and the sender; stopAutoFlush() (and the destructor) wakes and joins
// both, cancelling a send in progress through its stop_token. Before the writer runs, events wait in memory
// (persist(), flush() and the destructor write them); size triggers wait for the next start or an explicit flush().
//
// Every public member may be called from any thread and never throws (send and file failures stay inside).
// Event must convert to and from nlohmann::json (its queue-file form) and be copyable.
template <class Event> class EventQueue {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxBatchBytes = QueueLimits::maxBatchBytes;
    static constexpr std::size_t kMaxEventBytes = QueueLimits::maxEventBytes;
    static constexpr std::size_t kMaxQueueBytes = QueueLimits::maxQueueBytes;
    static_assert(2 * kMaxQueueBytes < Storage::kMaxQueueFileBytes);
    static constexpr double kMinFlushInterval = QueueLimits::minFlushInterval;

    // Delivers one batch, oldest first. Returns true when the service took it. May throw; a TransportError of
    // kind rateLimited sets the Retry-After pause. Called on the sender thread or the thread calling flush(),
    // never with the queue's lock held; it must honour `cancel` and should end by `deadline` (Clock::time_point
    // ::max() when the flush has none), so that stopping keeps its own deadline.
    using SendBatch =
        std::function<bool(const std::vector<Event>& batch, std::stop_token cancel, Clock::time_point deadline)>;
    // The time source for Retry-After pauses and the back-off; tests pass their own.
    using Now = std::function<Clock::time_point()>;
    // Work to do on the writer thread (persisting something else now and then); returns when it next wants to run.
    using Housekeeping = QueueWriter::Housekeeping;

    // Takes the queue's files (QueueFiles) without reading them: the writer thread loads them as it starts (or
    // count(), events(), flush(), persist() or the destructor, called before). It loads all of them, even beyond
    // maxQueueSize; elements that do not decode are skipped; events enqueued before go after them, in their order,
    // within maxQueueSize. Values are clamped: sizes at least 1, an interval that is not finite or not
    // positive becomes 30 s, at least 1 s, at most a day. `storage` must outlive the queue.
    EventQueue(std::string queueName, std::int64_t batchSize, double flushInterval, std::int64_t maxQueueSize,
               bool debug, SendBatch sendBatch, Storage& storage = Storage::shared(), Now now = &Clock::now)
        : codec_(std::move(sendBatch)), core_(std::move(queueName), batchSize, flushInterval, maxQueueSize, debug,
                                              sizeof(Event), codec_, storage, std::move(now)) {}

    // Stops the worker and writes the file a last time.
    ~EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    const std::string& queueName() const { return core_.name(); }

    // Appends one event, dropping the oldest pending ones when the queue is full. Cheap on the caller's thread:
    // the writer saves it.
    void enqueue(Event event) { core_.append(share(std::move(event))); }

    // Appends several events in order.
    void enqueue(std::vector<Event> events) {
        std::vector<std::shared_ptr<const void>> items;
        items.reserve(events.size());
        for (auto& event : events) {
            items.push_back(share(std::move(event)));
        }
        core_.append(std::move(items));
    }

    // Sends what is queued when it is called (in as many batches as it takes; not what is queued meanwhile) and
    // blocks until the sending has ended. A flush already sending goes on; this one waits only until that one
    // has sent these events or stopped. Does nothing while a Retry-After pause or the back-off lasts. With a
    // deadline, each request gets only the time left and no new one starts after it.
    void flush(Clock::time_point deadline = Clock::time_point::max()) { core_.flush(deadline); }

    // Before this time (on the queue's time source) nothing is sent: a Retry-After pause, or the back-off after
    // failed sends (QueueSender); a time already past when nothing holds sends back.
    Clock::time_point nextSendTime() const { return core_.nextSendTime(); }

    // Work for the writer thread (set before startAutoFlush()); see Housekeeping.
    void setHousekeeping(Housekeeping work) { core_.setHousekeeping(std::move(work)); }

    void startAutoFlush() { core_.startAutoFlush(); }
    void stopAutoFlush() { core_.stopAutoFlush(); }
    bool isRunning() const { return core_.isRunning(); }

    // Events not yet delivered, including a batch being sent.
    std::size_t count() const { return core_.count(); }

    // A copy of the events not yet delivered, oldest first.
    std::vector<Event> events() const {
        const auto entries = core_.entries();
        std::vector<Event> copy;
        copy.reserve(entries.size());
        for (const auto& entry : entries) {
            appendEvent(copy, entry);
        }
        return copy;
    }

    // Forgets every event (a batch in flight too) and deletes the queue file.
    void clear() { core_.clear(); }

    // Stops the worker, writes the file a last time and lets go of it for a new queue to take over: later events
    // are dropped and nothing is written or sent any more.
    void retire() { core_.retire(); }

    // Writes what changed now, on the caller's thread, and flushes it to the disk. Returns whether the files
    // hold every event queued before the call.
    bool persist() { return core_.persist(); }

    // Bytes this queue has handed to the disk, for measurements.
    std::uint64_t bytesWritten() const { return core_.bytesWritten(); }

    // Whether the memory callers' events go into is made (see Memory above), for measurements.
    bool callersMemoryReady() const { return core_.callersMemoryReady(); }

private:
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
    static void appendEvent(std::vector<Event>& events, const QueueEntry& entry) {
        if (entry.event) {
            events.push_back(*static_cast<const Event*>(entry.event.get()));
        } else if (auto event = decoded(*entry.text)) {
            events.push_back(std::move(*event));
        }
    }

    std::shared_ptr<const void> share(Event&& event) {
        return std::allocate_shared<const Event>(PoolAllocator<const Event>(core_.pool()), std::move(event));
    }

    // The event type and the send function, for the untyped queue.
    class Codec final : public QueueEventCodec {
    public:
        explicit Codec(SendBatch send) : send_(std::move(send)) {}
        std::string encode(const void* event) const override {
            return nlohmann::json(*static_cast<const Event*>(event))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
        bool readsBack(const std::string& text) const override { return decoded(text).has_value(); }
        bool readsAsEvent(const nlohmann::json& element) const override {
            try {
                (void)element.get<Event>();
                return true;
            } catch (const std::exception&) {
                return false;
            }
        }
        std::unique_ptr<Batch> makeBatch(const std::vector<QueueEntry>& entries) const override {
            auto batch = std::make_unique<TypedBatch>();
            batch->events.reserve(entries.size());
            for (const auto& entry : entries) {
                appendEvent(batch->events, entry);
            }
            return batch;
        }
        bool send(const Batch& batch, std::stop_token cancel, Clock::time_point deadline) const override {
            return send_ && send_(static_cast<const TypedBatch&>(batch).events, std::move(cancel), deadline);
        }

    private:
        struct TypedBatch final : Batch {
            std::vector<Event> events;
            std::size_t size() const override { return events.size(); }
        };
        const SendBatch send_;
    };

    Codec codec_; // before the core, whose threads use it until the core is gone
    QueueCore core_;
};

} // namespace corvantesk
