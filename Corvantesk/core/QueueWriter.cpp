#include "Corvantesk/core/QueueWriter.h"

#include <algorithm>
#include <iterator>

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/OptionLimits.h"

namespace corvantesk {
namespace {

// Empties a vector (freeing what it holds) and keeps its storage, as the scope ends.
struct FreeOnReturn {
    std::vector<QueueEntry>& values;
    ~FreeOnReturn() { values.clear(); }
};

} // namespace

QueueWriter::QueueWriter(QueueState& state, const QueueEventCodec& codec, Storage& storage, std::string name,
                         double interval, bool debug, Now now)
    : state_(state), codec_(codec), name_(std::move(name)), interval_(interval), debug_(debug), now_(std::move(now)),
      files_(std::make_unique<QueueFiles>(storage, name_)) {
    files_->setOnRewriteWritten([this] {
        rewriteWritten_.store(true);
        { std::lock_guard lock(state_.mutex); } // the writer is waiting, or will see the flag before it waits
        state_.writerWake.notify_one();
    });
}

void QueueWriter::run(std::stop_token stop) {
    ensureLoaded();
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
            std::unique_lock lock(state_.mutex);
            // While changes keep coming, the writer looks for them every few milliseconds and the callers need
            // not wake it (waking a thread costs a caller a system call); once things are quiet it waits to be
            // woken. Decided under the lock that the callers read it with.
            const auto before = Clock::now();
            state_.polling = before < pollUntil;
            const auto wakeAt = std::min({nextTick, nextHousekeeping, syncDue + kSyncDelay,
                                          state_.polling ? before + kPollInterval : Clock::time_point::max()});
            state_.waiting = true;
            state_.writerWake.wait_until(lock, stop, wakeAt, [&] {
                return state_.version != state_.persistedVersion || state_.sizeFlushAllowed(now_()) ||
                       rewriteWritten_.load();
            });
            state_.waiting = false;
            if (stop.stop_requested()) {
                break;
            }
            const auto now = Clock::now();
            if (now >= nextTick) {
                tick = true;
                state_.holdUntilTick = false;
                nextTick = now + interval;
            }
            sizeFlush = state_.sizeFlushAllowed(now_());
            if (tick || sizeFlush) {
                state_.flushRequested = false; // handed to the sender; asked again if it is busy
                state_.sendWanted = true;
            }
            if (state_.version != state_.persistedVersion) {
                pollUntil = now + kPollFor;
            }
            housekeeping = housekeeping_;
        }
        if (tick || sizeFlush) {
            state_.senderWake.notify_one();
        }
        persist(false);
        nextHousekeeping = housekeeping ? runHousekeeping(housekeeping) : Clock::time_point::max();
    }
    {
        std::lock_guard lock(state_.mutex);
        state_.polling = false;
    }
    persist(true);
}

QueueWriter::Clock::time_point QueueWriter::runHousekeeping(const Housekeeping& work) {
    try {
        return work();
    } catch (...) {
        return Clock::now() + std::chrono::seconds(5);
    }
}

QueueWriter::Clock::time_point QueueWriter::unsyncedSince() {
    std::lock_guard persisting(persistMutex_);
    return files_->hasUnsyncedWrites() ? lastSync_ : Clock::time_point::max() - kSyncDelay;
}

bool QueueWriter::persist(bool sync) {
    std::lock_guard persisting(persistMutex_);
    if (!loaded_.load()) {
        {
            std::lock_guard lock(state_.mutex);
            if (state_.version == state_.persistedVersion) {
                return true; // nothing to write: the files need not even be read
            }
        }
        loadLocked();
    }
    const bool written = writeChanges(sync);
    if (written) {
        keepFileCompact(sync);
    }
    return written;
}

// Events are encoded here, outside the queue lock; what is taken under it is in proportion to what changed.
// Writes are serialised, so the files never go back to an older state.
bool QueueWriter::writeChanges(bool sync) {
    std::vector<QueueEntry> added; // the last holders of events the writer encodes: they are freed on this thread
    bool whole = false;
    std::uint64_t version = 0;
    // Dropped by callers: freed here, outside the lock, into storage the callers get back empty.
    const FreeOnReturn freeDiscarded{freeing_};
    {
        std::unique_lock lock(state_.mutex);
        freeing_.swap(state_.discarded);
        if (state_.retired) {
            return true;
        }
        if (state_.version == state_.persistedVersion) {
            lock.unlock();
            return syncIfDue(sync);
        }
        version = state_.version;
        whole = files_->mustRewrite();
        if (whole) {
            added.assign(state_.events.begin(), state_.events.end());
        } else {
            auto first = state_.events.end();
            while (first != state_.events.begin() && std::prev(first)->seq > state_.journaledSeq) {
                --first;
            }
            added.assign(first, state_.events.end());
        }
        state_.journaledSeq = state_.nextSeq - 1;
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
            encoded[i] = std::make_shared<const std::string>(codec_.encode(added[i].event.get()));
        } catch (...) {
            rejected[i] = true; // cannot be written, so it could not be sent either
        }
        rejected[i] = rejected[i] || !encoded[i] || encoded[i]->size() > QueueLimits::maxEventBytes;
        readsBack[i] = rejected[i] || codec_.readsBack(*encoded[i]);
    }

    std::vector<SeqRange>& removed = removing_;
    std::vector<bool> live(added.size(), false);
    std::vector<std::string> lines;
    {
        std::lock_guard lock(state_.mutex);
        const bool unchanged = state_.version == version;
        for (std::size_t i = 0; i < added.size(); ++i) {
            const std::size_t at = state_.indexOf(added[i].seq);
            if (at == state_.events.size()) {
                continue;
            }
            if (rejected[i]) {
                lines.push_back(encoded[i] ? "Dropped a " + name_ + " event of " + std::to_string(encoded[i]->size()) +
                                                 " bytes, larger than one request may carry"
                                           : "Dropped a " + name_ + " event that cannot be encoded");
                state_.erase(at, at + 1);
                continue;
            }
            if (!state_.events[at].text) {
                state_.events[at].text = encoded[i];
                state_.totalBytes += encoded[i]->size();
                if (readsBack[i]) {
                    state_.events[at].event.reset(); // `added` holds it to the end of this call
                }
            }
        }
        if (const std::size_t dropped = state_.trimToBudget(); dropped > 0) {
            lines.push_back("Queue " + name_ + " over its size in bytes, dropped " + std::to_string(dropped) +
                            " oldest events");
        }
        for (std::size_t i = 0; i < added.size(); ++i) {
            live[i] = !rejected[i] && state_.indexOf(added[i].seq) != state_.events.size();
        }
        removing_.clear();
        removing_.swap(state_.removals); // the callers go on in the cleared one
        state_.persistedVersion = std::max(state_.persistedVersion, unchanged ? state_.version : version);
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
                onDisk_.append(added[i].seq, encoded[i]);
            }
        }
        written = files_->rewrite(kept);
        lastSync_ = Clock::now();
    } else {
        for (const auto& range : removed) {
            if (const auto gone = onDisk_.remove(range)) {
                files_->drop(gone->first, gone->second);
            }
        }
        for (std::size_t i = 0; i < added.size(); ++i) {
            if (live[i]) {
                files_->add(*encoded[i]);
                onDisk_.append(added[i].seq, encoded[i]);
            }
        }
        written = files_->commit(sync);
        if (sync) {
            lastSync_ = Clock::now();
        } else {
            syncIfDue(false);
        }
    }
    return written; // a failed write is tried again, whole, at the next change
}

void QueueWriter::keepFileCompact(bool sync) {
    if (files_->mustRewrite()) {
        return;
    }
    if (files_->rewriteBegun()) {
        if (sync) {
            files_->waitForRewrite();
        }
        if (files_->rewriteWritten()) {
            rewriteWritten_.store(false);
            files_->installRewrite(onDisk_.changesSinceRewrite());
            onDisk_.forgetRewrite();
        }
        return;
    }
    if (!files_->rewriteDue(onDisk_.bytes())) {
        return;
    }
    auto texts = onDisk_.texts();
    if (sync) {
        // The caller waits for the disk anyway.
        std::vector<std::string_view> views;
        views.reserve(texts.size());
        for (const auto& text : texts) {
            views.push_back(*text);
        }
        files_->rewrite(views);
        return;
    }
    onDisk_.noteRewrite();
    if (!files_->beginRewrite(std::move(texts))) {
        onDisk_.forgetRewrite();
    }
}

bool QueueWriter::syncIfDue(bool sync) {
    if (sync) {
        lastSync_ = Clock::now();
        return files_->commit(true);
    }
    if (files_->hasUnsyncedWrites() && Clock::now() - lastSync_ >= kSyncDelay) {
        lastSync_ = Clock::now();
        files_->syncInBackground();
    }
    return true;
}

bool QueueWriter::clear() {
    std::lock_guard persisting(persistMutex_);
    loaded_.store(true); // what the files held is gone with them
    {
        std::lock_guard lock(state_.mutex);
        if (state_.retired) {
            return false;
        }
        state_.events.clear();
        state_.removals.clear();
        state_.totalBytes = 0;
        state_.inFlight = 0;
        state_.flushRequested = false;
        ++state_.generation;
        state_.journaledSeq = state_.nextSeq - 1;
        state_.persistedVersion = ++state_.version;
    }
    files_->clear();
    onDisk_.clear();
    return true;
}

void QueueWriter::retire() {
    persist(true);
    std::lock_guard persisting(persistMutex_);
    {
        std::lock_guard lock(state_.mutex);
        state_.retired = true;
    }
    files_->release();
}

void QueueWriter::withSwappedLists(
    const std::function<void(std::vector<QueueEntry>& freeing, std::vector<SeqRange>& removing)>& use) {
    std::lock_guard persisting(persistMutex_);
    use(freeing_, removing_);
}

std::uint64_t QueueWriter::bytesWritten() const {
    std::lock_guard persisting(persistMutex_);
    return files_->bytesWritten();
}

} // namespace corvantesk
