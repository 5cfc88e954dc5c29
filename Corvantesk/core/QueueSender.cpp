#include "Corvantesk/core/QueueSender.h"

#include <algorithm>
#include <optional>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/OptionLimits.h"
#include "Corvantesk/core/QueueWriter.h"
#include "Corvantesk/core/TransportError.h"

namespace corvantesk {

QueueSender::QueueSender(QueueState& state, QueueWriter& writer, const QueueEventCodec& codec, std::string name,
                         std::size_t batchSize, bool debug, Now now)
    : state_(state), writer_(writer), codec_(codec), name_(std::move(name)), batchSize_(batchSize), debug_(debug),
      now_(std::move(now)) {}

void QueueSender::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock lock(state_.mutex);
            state_.senderWake.wait(lock, stop, [&] { return state_.sendWanted; });
            if (stop.stop_requested()) {
                return;
            }
            state_.sendWanted = false;
        }
        flush(false, Clock::time_point::max());
    }
}

void QueueSender::flush(bool waitForIdle, Clock::time_point deadline) {
    std::size_t remaining = 0;
    {
        std::unique_lock lock(state_.mutex);
        if (waitForIdle) {
            state_.idle.wait(lock, [&] { return !state_.flushing; });
        } else if (state_.flushing) {
            state_.flushRequested = true;
            return;
        }
        state_.flushing = true;
        state_.flushRequested = false;
        remaining = state_.events.size();
    }
    while (remaining > 0 && Clock::now() < deadline && sendOneBatch(remaining, deadline)) {
    }
    {
        std::lock_guard lock(state_.mutex);
        state_.flushing = false;
    }
    state_.idle.notify_all();
    state_.writerWake.notify_one(); // a size trigger that came during the send may go now
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

bool QueueSender::sendOneBatch(std::size_t& remaining, Clock::time_point deadline) {
    writer_.persist(false); // the batch is on disk while it is away, and every event in it has its size
    // Held to the end, so that what the batch holds is freed after it has left the queue, outside the lock.
    std::vector<QueueEntry> items;
    std::stop_token cancel;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(state_.mutex);
        if (state_.retired || now_() < state_.notBefore || state_.events.empty()) {
            return false;
        }
        // Only events the writer has measured: later ones go in the next batch.
        std::vector<std::size_t> sizes;
        const std::size_t most = std::min({batchSize_, remaining, state_.events.size()});
        for (std::size_t i = 0; i < most && state_.events[i].text; ++i) {
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

    bool delivered = false;
    bool refused = false;
    std::optional<double> pause;
    std::string failure;
    try {
        // A batch none of whose events reads any more could never be sent: it goes as if delivered.
        delivered = batch->size() == 0 || codec_.send(*batch, cancel, deadline);
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
        std::lock_guard lock(state_.mutex);
        if (generation == state_.generation) {
            if (delivered || refused) {
                const std::size_t sent = state_.inFlight;
                state_.erase(0, sent);
                remaining -= std::min(remaining, sent);
                more = remaining > 0;
                if (refused) {
                    line = "Dropped " + std::to_string(sent) + " " + name_ + " events the service refused: " + failure;
                }
            } else {
                const std::size_t pending = state_.pending();
                const std::size_t space = state_.maxSize > pending ? state_.maxSize - pending : 0;
                const std::size_t kept = std::min(space, state_.inFlight);
                const std::size_t dropped = state_.inFlight - kept;
                state_.erase(kept, state_.inFlight);
                line = dropped < 1 ? "Re-queued " + std::to_string(kept) + " events for retry"
                                   : "Re-queued " + std::to_string(kept) + " events, dropped " +
                                         std::to_string(dropped) + " due to max size";
                state_.holdUntilTick = true;
                if (pause) {
                    state_.notBefore = now_() + std::chrono::duration_cast<Clock::duration>(toDuration(*pause));
                }
            }
        }
        state_.inFlight = 0;
    }
    if (!failure.empty() && !refused) {
        debugLine(debug_, "Failed to send " + name_ + " batch: " + failure);
    }
    debugLine(debug_ && !line.empty(), line);
    writer_.persist(false);
    return more && !cancel.stop_requested();
}

} // namespace corvantesk
