#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "Corvantesk/core/QueueEventCodec.h"
#include "Corvantesk/core/QueueState.h"

namespace corvantesk {

class QueueWriter;

// The sender of one queue: its thread (run()) runs the flushes the writer asks for, and flush() runs one on the
// calling thread. At most one flush sends at a time. A flush sends the events queued when it began in batches of
// at most `batchSize` events and about QueueLimits::maxBatchBytes of JSON, one after the other, and stops at the
// first failure. A failed batch keeps its place; when events arrived meanwhile and the queue is over its count
// cap, the newest events of the batch are dropped. A batch the service refused for good is dropped with a debug
// line. After a failed send, size-triggered flushes wait for the next timer tick; after a 429 with Retry-After
// (capped at one hour) nothing is sent before that time. The send function is never called with a lock held.
class QueueSender {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    QueueSender(QueueState& state, QueueWriter& writer, const QueueEventCodec& codec, std::string name,
                std::size_t batchSize, bool debug, Now now);

    // The sender thread's body: waits for the writer's requests and flushes, until `stop`.
    void run(std::stop_token stop);
    // Sends everything queued when it began, batch after batch, until one fails or `deadline` passes. With
    // `waitForIdle`, waits for a flush in progress first; without, asks for another flush after it instead.
    void flush(bool waitForIdle, Clock::time_point deadline);

private:
    // The first events that fit one request: at most batchSize (the caller's cut), and about maxBatchBytes of
    // JSON. At least one: no event kept is too large for a request alone.
    static std::size_t fittingCount(const std::vector<std::size_t>& sizes);
    // Sends one batch from the front. Returns true when it was delivered (or refused for good) and more of
    // `remaining` is left.
    bool sendOneBatch(std::size_t& remaining, Clock::time_point deadline);

    QueueState& state_;
    QueueWriter& writer_;
    const QueueEventCodec& codec_;
    const std::string name_;
    const std::size_t batchSize_;
    const bool debug_;
    const Now now_;
};

} // namespace corvantesk
