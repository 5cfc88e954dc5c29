#include "Corvantesk/core/QueueSender.h"

#include <algorithm>
#include <cmath>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/OptionLimits.h"
#include "Corvantesk/core/QueueWriter.h"
#include "Corvantesk/core/TransportError.h"

namespace corvantesk {

QueueSender::QueueSender(QueueState& state, QueueWriter& writer, const QueueEventCodec& codec, std::string name,
                         std::size_t batchSize, double interval, bool debug, Now now)
    : state_(state), writer_(writer), codec_(codec), name_(std::move(name)), batchSize_(batchSize), interval_(interval),
      debug_(debug), now_(std::move(now)) {}

void QueueSender::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock lock(state_.mutex);
            const auto retryWaits = [&] {
                return state_.retryWaiting && !state_.flushing && !state_.retired && !state_.events.empty();
            };
            const auto retryDue = [&] { return retryWaits() && mayGoLocked(Origin::sender); };
            // The hold is on the queue's time source; the wait is on the system's steady clock. Without a retry
            // that only waits for time, a flush ending or the writer wakes this thread.
            const auto retryAt = retryWaits()
                                     ? Clock::now() + (std::max(state_.notBefore, state_.backoffUntil) - now_())
                                     : Clock::time_point::max();
            state_.senderWake.wait_until(lock, stop, retryAt, [&] { return state_.sendWanted || retryDue(); });
            if (stop.stop_requested()) {
                return;
            }
            const bool retrying = retryDue();
            if (!state_.sendWanted && !retrying) {
                continue;
            }
            state_.sendWanted = false;
            if (retrying) {
                state_.retryWaiting = false; // a retry that fails again asks for the next one
            }
        }
        flush(Origin::sender, Clock::time_point::max());
    }
}

bool QueueSender::mayGoLocked(Origin origin) const {
    const auto now = now_();
    return now >= state_.notBefore && (origin == Origin::caller || now >= state_.backoffUntil);
}

bool QueueSender::hasEventsUpToLocked(std::uint64_t last) const {
    return !state_.events.empty() && state_.events[0].seq <= last;
}

void QueueSender::flush(Origin origin, Clock::time_point deadline) {
    writer_.ensureLoaded();
    std::uint64_t last = 0;
    {
        std::unique_lock lock(state_.mutex);
        last = state_.nextSeq - 1;
        if (origin == Origin::caller) {
            // The flush in progress sends from the front too: once it has sent this flush's events, or stopped,
            // there is nothing more to wait for. Waiting for it to end could take as long as recording goes on.
            state_.idle.wait(lock, [&] { return !state_.flushing || !hasEventsUpToLocked(last); });
            if (!hasEventsUpToLocked(last)) {
                return;
            }
        } else if (state_.flushing) {
            state_.flushRequested = true;
            return;
        }
        state_.flushing = true;
        state_.flushRequested = false;
    }
    while (Clock::now() < deadline && sendOneBatch(origin, last, deadline)) {
    }
    {
        std::lock_guard lock(state_.mutex);
        state_.flushing = false;
    }
    state_.idle.notify_all();
    state_.writerWake.notify_one(); // a size trigger that came during the send may go now
    state_.senderWake.notify_one(); // and so may a retry that waited for it
}

QueueSender::Clock::time_point QueueSender::nextSendTime() const {
    std::lock_guard lock(state_.mutex);
    return std::max(state_.notBefore, state_.backoffUntil);
}

std::size_t QueueSender::fittingCount(const std::vector<std::size_t>& sizes) {
    std::size_t bytes = 0;
    std::size_t count = 0;
    for (std::size_t size : sizes) {
        // The wire form spells dates out and adds commas and the batch's own fields: leave room for that.
        size += size / 8 + 64;
        if (count > 0 && bytes + size > QueueLimits::maxBatchBytes - 16 * 1024) {
            break;
        }
        bytes += size;
        ++count;
    }
    return count;
}

bool QueueSender::sendOneBatch(Origin origin, std::uint64_t last, Clock::time_point deadline) {
    {
        std::lock_guard lock(state_.mutex);
        if (state_.retired || !mayGoLocked(origin) || !hasEventsUpToLocked(last)) {
            return false;
        }
    }
    writer_.persist(false); // the batch is on disk while it is away, and every event in it has its size
    // Held to the end, so that what the batch holds is freed after it has left the queue, outside the lock.
    std::vector<QueueEntry> items;
    std::stop_token cancel;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(state_.mutex);
        if (state_.retired || !mayGoLocked(origin) || !hasEventsUpToLocked(last)) {
            return false;
        }
        std::size_t most = std::min(batchSize_, state_.events.size());
        if (state_.splitLimit > 0 && state_.events[0].seq <= state_.splitEnd) {
            most = std::min(most, state_.splitLimit);
        }
        // Only events the writer has measured: later ones go in the next batch.
        std::vector<std::size_t> sizes;
        for (std::size_t i = 0; i < most && state_.events[i].text && state_.events[i].seq <= last; ++i) {
            sizes.push_back(state_.events[i].bytes());
        }
        if (sizes.empty()) {
            return false;
        }
        const std::size_t count = fittingCount(sizes);
        items.assign(state_.events.begin(), state_.events.begin() + static_cast<std::ptrdiff_t>(count));
        state_.inFlight = count;
        generation = state_.generation;
        cancel = state_.cancel.get_token();
    }
    const auto batch = codec_.makeBatch(items);
    debugLine(debug_ && batch->size() < items.size(), "Dropped " + std::to_string(items.size() - batch->size()) + " " +
                                                          name_ + " events that could not be read back");
    debugLine(debug_, "Flushing " + std::to_string(batch->size()) + " " + name_ + " events");

    Outcome outcome = Outcome::failed;
    std::optional<double> pause;
    std::string failure;
    try {
        // A batch none of whose events reads any more could never be sent: it goes as if delivered.
        outcome = batch->size() == 0 || codec_.send(*batch, cancel, deadline) ? Outcome::delivered : Outcome::failed;
    } catch (const TransportError& error) {
        failure = error.debugDescription();
        if (error.isAccepted()) {
            outcome = Outcome::delivered; // the service took it, though it answered oddly
        } else if (error.isRefusedForGood()) {
            outcome = Outcome::refused;
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
        std::lock_guard lock(state_.mutex);
        if (generation == state_.generation) {
            line = settleLocked(outcome, failure, pause, cancel.stop_requested());
            more = outcome != Outcome::failed && hasEventsUpToLocked(last);
        }
        state_.inFlight = 0;
    }
    state_.idle.notify_all(); // a flush waiting for these events may be done
    if (outcome == Outcome::failed && !failure.empty()) {
        debugLine(debug_, "Failed to send " + name_ + " batch: " + failure);
    }
    debugLine(debug_ && !line.empty(), line);
    writer_.persist(false);
    return more && !cancel.stop_requested();
}

std::string QueueSender::settleLocked(Outcome outcome, const std::string& failure, std::optional<double> pause,
                                      bool cancelled) {
    const std::size_t sent = state_.inFlight;
    std::string line;
    switch (outcome) {
    case Outcome::delivered:
        state_.erase(0, sent);
        break;
    case Outcome::refused:
        if (sent > 1) {
            // Something in the batch was refused, not necessarily all of it: send it again in halves.
            if (state_.splitLimit == 0 || state_.events[0].seq > state_.splitEnd) {
                state_.splitEnd = state_.events[sent - 1].seq;
            }
            state_.splitLimit = sent / 2;
            line = "Sending a refused batch of " + std::to_string(sent) + " " + name_ +
                   " events again in halves: " + failure;
        } else {
            state_.erase(0, sent);
            state_.splitLimit = 0; // found what the service refuses; the rest may go in whole batches again
            line = "Dropped " + std::to_string(sent) + " " + name_ + " events the service refused: " + failure;
        }
        break;
    case Outcome::failed: {
        const std::size_t pending = state_.pending();
        const std::size_t space = state_.maxSize > pending ? state_.maxSize - pending : 0;
        const std::size_t kept = std::min(space, sent);
        const std::size_t dropped = sent - kept;
        state_.erase(kept, sent);
        line = dropped < 1 ? "Re-queued " + std::to_string(kept) + " events for retry"
                           : "Re-queued " + std::to_string(kept) + " events, dropped " + std::to_string(dropped) +
                                 " due to max size";
        state_.holdUntilTick = true;
        if (pause) {
            state_.notBefore = now_() + std::chrono::duration_cast<Clock::duration>(toDuration(*pause));
            state_.retryWaiting = true;
        } else if (!cancelled) {
            ++state_.failures;
            state_.backoffUntil = now_() + backoffLocked();
            state_.retryWaiting = true;
        }
        return line;
    }
    }
    // The service answered about the batch: it is there and takes requests.
    state_.failures = 0;
    state_.backoffUntil = {};
    state_.retryWaiting = false;
    if (state_.splitLimit > 0 && (state_.events.empty() || state_.events[0].seq > state_.splitEnd)) {
        state_.splitLimit = 0;
    }
    return line;
}

QueueSender::Clock::duration QueueSender::backoffLocked() const {
    const double longest = std::max(static_cast<double>(kMaxBackoff.count()), interval_);
    const double doublings = static_cast<double>(std::min<std::size_t>(state_.failures, 64) - 1);
    const double seconds = std::min(interval_ * std::exp2(doublings), longest);
    return std::chrono::duration_cast<Clock::duration>(toDuration(seconds));
}

} // namespace corvantesk
