#include "Corvantesk/core/QueueCore.h"

#include <algorithm>
#include <iterator>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/OptionLimits.h"
#include "platform/core/SignalStack.h"

namespace corvantesk {

QueueCore::QueueCore(std::string name, std::int64_t batchSize, double flushInterval, std::int64_t maxQueueSize,
                     bool debug, std::size_t eventBlockBytes, const QueueEventCodec& codec, Storage& storage, Now now)
    : name_(std::move(name)), batchSize_(static_cast<std::size_t>(effectiveBatchSize(batchSize))),
      interval_(effectiveInterval(flushInterval, 30.0, QueueLimits::minFlushInterval)), debug_(debug),
      eventBlockBytes_(eventBlockBytes + kSharedOverhead),
      state_(static_cast<std::size_t>(effectiveQueueSize(maxQueueSize))),
      writer_(state_, codec, storage, name_, interval_, debug_, now),
      sender_(state_, writer_, codec, name_, batchSize_, interval_, debug_, now) {}

QueueCore::~QueueCore() {
    stopAutoFlush();
    writer_.persist(true);
}

void QueueCore::append(std::shared_ptr<const void> event) {
    std::string dropLine;
    std::string line;
    bool wakeWriter = false;
    {
        std::lock_guard lock(state_.mutex);
        if (state_.retired) {
            return;
        }
        if (const std::size_t dropped = state_.makeRoom(); dropped > 0 && debug_) {
            dropLine = "Queue " + name_ + " at max size, dropped " + std::to_string(dropped) + " oldest events";
        }
        state_.events.push_back(QueueEntry{std::move(event), nullptr, state_.nextSeq++});
        afterAppendLocked();
        if (debug_) {
            line = "Enqueued " + name_ + " event (queue size: " + std::to_string(state_.pending()) + ")";
        }
        wakeWriter = state_.running && state_.waiting && !state_.polling;
    }
    debugLine(debug_ && !dropLine.empty(), dropLine);
    debugLine(debug_, line);
    if (wakeWriter) {
        state_.writerWake.notify_one();
    }
}

void QueueCore::append(std::vector<std::shared_ptr<const void>> events) {
    std::string line;
    bool wakeWriter = false;
    {
        std::lock_guard lock(state_.mutex);
        if (state_.retired) {
            return;
        }
        for (auto& event : events) {
            state_.makeRoom();
            state_.events.push_back(QueueEntry{std::move(event), nullptr, state_.nextSeq++});
        }
        afterAppendLocked();
        if (debug_) {
            line = "Enqueued " + std::to_string(events.size()) + " " + name_ +
                   " events (queue size: " + std::to_string(state_.pending()) + ")";
        }
        wakeWriter = state_.running && state_.waiting && !state_.polling;
    }
    debugLine(debug_, line);
    if (wakeWriter) {
        state_.writerWake.notify_one();
    }
}

void QueueCore::afterAppendLocked() {
    ++state_.version;
    if (state_.pending() >= batchSize_) {
        state_.flushRequested = true;
    }
}

void QueueCore::setHousekeeping(QueueWriter::Housekeeping work) {
    std::lock_guard lock(state_.mutex);
    writer_.setHousekeepingLocked(std::move(work));
}

void QueueCore::startAutoFlush() {
    std::lock_guard lifecycle(lifecycleMutex_);
    {
        std::lock_guard lock(state_.mutex);
        if (state_.running) {
            return;
        }
        state_.running = true;
        state_.sendWanted = false;
        state_.cancel = std::stop_source();
    }
    writerThread_ = std::jthread([this](std::stop_token stop) {
        platform::ThreadSignalStack signalStack;
        writer_.run(stop);
    });
    senderThread_ = std::jthread([this](std::stop_token stop) {
        platform::ThreadSignalStack signalStack;
        // Here rather than on the writer: touching up to kMaxPooledBytes takes tens of milliseconds where page
        // faults are dear, and the writer saves the first events meanwhile (a kill then loses none of them).
        prepareMemory();
        sender_.run(stop);
    });
    debugLine(debug_, "Started auto-flush for " + name_ + " (interval: " + plainDecimal(interval_) + "s)");
}

void QueueCore::stopAutoFlush() {
    std::jthread writer;
    std::jthread sender;
    {
        std::lock_guard lifecycle(lifecycleMutex_);
        {
            std::lock_guard lock(state_.mutex);
            if (!state_.running) {
                return;
            }
            state_.running = false;
            state_.cancel.request_stop();
        }
        writer = std::move(writerThread_);
        sender = std::move(senderThread_);
    }
    sender.request_stop();
    writer.request_stop();
    sender.join();
    writer.join();
    debugLine(debug_, "Stopped auto-flush for " + name_);
}

bool QueueCore::isRunning() const {
    std::lock_guard lock(state_.mutex);
    return state_.running;
}

std::size_t QueueCore::count() const {
    writer_.ensureLoaded();
    std::lock_guard lock(state_.mutex);
    return state_.events.size();
}

std::vector<QueueEntry> QueueCore::entries() const {
    writer_.ensureLoaded();
    std::lock_guard lock(state_.mutex);
    return {state_.events.begin(), state_.events.end()};
}

void QueueCore::clear() {
    if (writer_.clear()) {
        debugLine(debug_, "Cleared " + name_ + " queue");
    }
}

void QueueCore::retire() {
    stopAutoFlush();
    writer_.retire();
}

bool QueueCore::persist() {
    {
        std::lock_guard lock(state_.mutex);
        ++state_.version;
    }
    return writer_.persist(true);
}

bool QueueCore::callersMemoryReady() const {
    std::lock_guard lock(state_.mutex);
    return state_.memoryReady;
}

// Blocks for the events themselves (as many as the count cap, for a writer held up by a slow disk, as many again
// dropped by callers before a writer held up that long could free them, and a few more), the window of entries,
// and the lists of what they drop. At most kMaxPooledBytes of blocks; beyond them events come from the heap.
void QueueCore::prepareMemory() {
    const std::size_t maxSize = state_.maxSize;
    const std::size_t blocks = std::min(maxSize + std::min(maxSize, kDropSlack) + kBlockSlack,
                                        std::max<std::size_t>(kMaxPooledBytes / eventBlockBytes_, 1));
    pool_.reserve(eventBlockBytes_, blocks);
    auto window = SlidingWindow<QueueEntry>::touchedStorage(std::min(4 * blocks, blocks + kMaxWindowSlack));
    auto discarded = touchedEmptyVector<QueueEntry>(kDropSlack);
    auto removals = touchedEmptyVector<SeqRange>(kDropSlack);
    auto freeing = touchedEmptyVector<QueueEntry>(kDropSlack);
    auto removing = touchedEmptyVector<SeqRange>(kDropSlack);
    // Both locks at once: the writer swaps these lists in pairs, and must not swap a short one back in between
    // (each list is checked on its own for the same reason).
    writer_.withSwappedLists([&](std::vector<QueueEntry>& writerFreeing, std::vector<SeqRange>& writerRemoving) {
        if (writerFreeing.capacity() < kDropSlack) {
            writerFreeing.swap(freeing); // empty whenever the writer does not hold the disk lock
        }
        if (writerRemoving.capacity() < kDropSlack) {
            writerRemoving.swap(removing);
        }
        std::lock_guard lock(state_.mutex);
        if (state_.discarded.capacity() < kDropSlack) {
            std::move(state_.discarded.begin(), state_.discarded.end(), std::back_inserter(discarded));
            state_.discarded.swap(discarded);
        }
        if (state_.removals.capacity() < kDropSlack) {
            removals.insert(removals.end(), state_.removals.begin(), state_.removals.end());
            state_.removals.swap(removals);
        }
        if (state_.events.size() < window.size()) {
            window = state_.events.adopt(std::move(window));
        }
        state_.memoryReady = true;
    });
    // What is left of the old storage is freed as this returns, outside the locks.
}

} // namespace corvantesk
