#include "Corvantesk/core/QueueState.h"

#include <algorithm>

namespace corvantesk {

std::size_t QueueState::indexOf(std::uint64_t seq) const {
    const auto at = std::lower_bound(events.begin(), events.end(), seq,
                                     [](const QueueEntry& entry, std::uint64_t value) { return entry.seq < value; });
    return at != events.end() && at->seq == seq ? static_cast<std::size_t>(at - events.begin()) : events.size();
}

void QueueState::erase(std::size_t first, std::size_t last, std::vector<QueueEntry>* keep) {
    if (first >= last) {
        return;
    }
    const auto begin = events.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = events.begin() + static_cast<std::ptrdiff_t>(last);
    if (begin->seq <= journaledSeq) {
        removals.push_back(SeqRange{begin->seq, (end - 1)->seq});
    }
    for (auto it = begin; it != end; ++it) {
        totalBytes -= it->bytes();
        if (keep != nullptr) {
            keep->push_back(std::move(*it));
        }
    }
    events.erase(begin, end);
    ++version;
}

std::size_t QueueState::makeRoom() {
    if (pending() < maxSize) {
        return 0;
    }
    const std::size_t dropped = pending() - maxSize + 1;
    // The oldest events have long left the caches: freeing them is the writer's work, not the caller's.
    erase(inFlight, inFlight + dropped, running ? &discarded : nullptr);
    return dropped;
}

std::size_t QueueState::trimToBudget() {
    std::size_t count = 0;
    std::size_t freed = 0;
    while (totalBytes - freed > QueueLimits::maxQueueBytes && inFlight + count + 1 < events.size()) {
        freed += events[inFlight + count].bytes();
        ++count;
    }
    erase(inFlight, inFlight + count);
    return count;
}

} // namespace corvantesk
