#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Corvantesk/core/QueueEventCodec.h"
#include "Corvantesk/core/QueueState.h"

namespace corvantesk {

class QueueWriter;

// The sender of one queue: its thread (run()) runs the flushes the writer asks for and the retries that wait for
// a pause to end, and flush() runs one on the calling thread. At most one flush sends at a time.
//
// A flush sends the events queued when it began (not those queued during it) in batches of at most `batchSize`
// events and about QueueLimits::maxBatchBytes of JSON, one after the other, and stops at the first failure.
// flush(true) called while another flush sends waits only until that one has sent its events or stopped.
//
// What a failure costs:
// - A batch the service refused for good (an answer about its body: TransportError::isRefusedForGood()) may still
//   hold events it takes: it is sent again in halves, down to single events, and only an event refused alone is
//   dropped, with a debug line.
// - Any other failure keeps the batch in its place (when events arrived meanwhile and the queue is over its count
//   cap, the newest events of the batch are dropped) and holds the sender back: one interval after the first
//   failure in a row, doubling with each further one up to kMaxBackoff (or the interval when that is longer),
//   back to nothing after a send the service answered. The sender sends the batch again when the hold ends;
//   ticks and size triggers send nothing before then, while a caller's flush() still may. A 429 with Retry-After
//   holds every send, the caller's too, for that long instead (at most an hour). A send cancelled because the
//   queue stops is no failure of the service.
// The send function is never called with a lock held.
class QueueSender {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // The longest hold between retries.
    static constexpr std::chrono::seconds kMaxBackoff{300};

    QueueSender(QueueState& state, QueueWriter& writer, const QueueEventCodec& codec, std::string name,
                std::size_t batchSize, double interval, bool debug, Now now);

    // Who asked for a flush: a caller of the queue, or the writer (ticks, size triggers) and retries.
    enum class Origin { caller, sender };

    // The sender thread's body: waits for the writer's requests and for holds to end, and flushes, until `stop`.
    void run(std::stop_token stop);
    // Sends the events queued when it began, batch after batch, until one fails or `deadline` passes. A caller's
    // flush waits for a flush in progress first (see above); the sender's asks for another one after it instead.
    void flush(Origin origin, Clock::time_point deadline);

    // Before this time (on the queue's time source) the sender sends nothing: a Retry-After pause or the
    // back-off; a time already past when nothing holds it back.
    Clock::time_point nextSendTime() const;

private:
    enum class Outcome { delivered, refused, failed };

    // The first events that fit one request: at most batchSize (the caller's cut), and about maxBatchBytes of
    // JSON. At least one: no event kept is too large for a request alone.
    static std::size_t fittingCount(const std::vector<std::size_t>& sizes);
    // Sends one batch from the front, of the events up to `last`. Returns true when it was delivered (or refused
    // for good) and more of them are left.
    bool sendOneBatch(Origin origin, std::uint64_t last, Clock::time_point deadline);
    // With the queue lock held: whether a send may go now.
    bool mayGoLocked(Origin origin) const;
    // With the queue lock held: what happens to the batch in flight after `outcome`; returns the debug line.
    std::string settleLocked(Outcome outcome, const std::string& failure, std::optional<double> pause, bool cancelled);
    // With the queue lock held: the hold after `failures` failed sends in a row.
    Clock::duration backoffLocked() const;
    // With the queue lock held: whether events up to `last` are still waiting.
    bool hasEventsUpToLocked(std::uint64_t last) const;

    QueueState& state_;
    QueueWriter& writer_;
    const QueueEventCodec& codec_;
    const std::string name_;
    const std::size_t batchSize_;
    const double interval_;
    const bool debug_;
    const Now now_;
};

} // namespace corvantesk
