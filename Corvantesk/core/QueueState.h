#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "Corvantesk/core/QueueMemory.h"

namespace corvantesk {

// The bounds of every event queue.
struct QueueLimits {
    // About this much JSON per request at most.
    static constexpr std::size_t maxBatchBytes = 1024 * 1024;
    // The largest event kept, in its file form: with the wire form's overhead it still fits one request.
    static constexpr std::size_t maxEventBytes = 512 * 1024;
    // The queue's budget in file bytes, well under what a queue file may be to be loaded again.
    static constexpr std::size_t maxQueueBytes = 16 * 1024 * 1024;
    // Timer flushes come at least this far apart, however small the configured interval.
    static constexpr double minFlushInterval = 1.0;
};

// One queued event: as the caller made it (type-erased; the typed queue knows what it points to) until the writer
// has encoded it, then its file form alone, so the caller's allocations go back at once and its heap does not
// grow (a page fault every few events) as the queue fills. Both when the file form does not read back.
struct QueueEntry {
    std::shared_ptr<const void> event;
    std::shared_ptr<const std::string> text;
    std::uint64_t seq = 0; // increasing along the queue
    // Size in the file form, once the writer has encoded it.
    std::size_t bytes() const { return text ? text->size() : 0; }
};

// The events numbered first to last.
struct SeqRange {
    std::uint64_t first;
    std::uint64_t last;
};

// What the callers, the writer and the sender of one queue share, every member guarded by `mutex` (the queue
// lock): the events waiting, and what each role asks of the others. The operations expect the lock held.
struct QueueState {
    using Clock = std::chrono::steady_clock;

    explicit QueueState(std::size_t maxSize) : maxSize(maxSize) {}

    const std::size_t maxSize; // the count cap
    mutable std::mutex mutex;

    // The events, oldest first. Callers append and drop the oldest; the writer adds file forms and trims to the
    // byte budget; the sender takes a batch from the front (the first inFlight) and removes it once delivered.
    SlidingWindow<QueueEntry> events;
    std::size_t inFlight = 0;
    std::size_t totalBytes = 0; // file bytes of the events the writer has encoded
    std::uint64_t nextSeq = 1;

    // For the writer: what changed since it last wrote.
    std::uint64_t version = 0;          // bumped by every change
    std::uint64_t persistedVersion = 0; // the version the files hold
    std::uint64_t journaledSeq = 0;     // events up to this one have been taken by the writer
    std::vector<SeqRange> removals;     // removed since the writer last ran, among those it had taken
    std::vector<QueueEntry> discarded;  // dropped by callers while the threads run; the writer frees them
    bool running = false;               // the writer and sender threads run
    bool polling = false;               // the writer looks for changes by itself: enqueue need not wake it
    bool waiting = false; // the writer waits on writerWake: only then does enqueue notify it (a system call)
    std::condition_variable_any writerWake;

    // For the sender.
    bool sendWanted = false;       // the writer asks the sender for a flush
    bool flushing = false;         // a flush is sending
    bool flushRequested = false;   // the batch size was reached, or a flush was asked for during a send
    bool holdUntilTick = false;    // after a failed send, size triggers wait for the next timer tick
    Clock::time_point notBefore{}; // a Retry-After pause
    std::uint64_t generation = 0;  // bumped by clear(), so a returning batch knows it was forgotten
    std::stop_source cancel;       // cancels a send in progress when the threads stop
    std::condition_variable_any senderWake;
    std::condition_variable_any idle; // a batch or a flush has ended

    // What failed sends leave for the sender (QueueSender): the back-off, and the parts of a refused batch.
    Clock::time_point backoffUntil{}; // no send of the sender's before; a caller's flush() does not wait for it
    std::size_t failures = 0;         // failed sends in a row
    bool retryWaiting = false;        // a failed batch waits for the hold to end; the sender sends it again then
    std::size_t splitLimit = 0;       // while a refused batch is sent again in parts: the most events a batch takes
    std::uint64_t splitEnd = 0;       // the last event of the batch first refused

    bool retired = false;     // the files belong to another queue now: nothing is kept, written or sent
    bool memoryReady = false; // the memory callers' events go into is made

    std::size_t pending() const { return events.size() - inFlight; }
    // The position of event `seq`, or events.size() when it is gone.
    std::size_t indexOf(std::uint64_t seq) const;
    // Removes events [first, last) and notes them for the journal when the writer has taken any of them. With
    // `keep`, what they hold is moved there to be freed elsewhere.
    void erase(std::size_t first, std::size_t last, std::vector<QueueEntry>* keep = nullptr);
    // Drops the oldest pending events (never the batch in flight) so that one more fits; returns how many.
    std::size_t makeRoom();
    // Drops the oldest pending events while the queue is over its byte budget; the newest always stays.
    std::size_t trimToBudget();
    // Whether a flush asked for by size may go now (`now` from the queue's time source).
    bool sizeFlushAllowed(Clock::time_point now) const {
        return flushRequested && !flushing && !holdUntilTick && now >= notBefore && now >= backoffUntil;
    }
};

} // namespace corvantesk
