// Reading the queue's files into its state: once, as the writer starts (or before, when a caller needs the events).
#include "Corvantesk/core/QueueWriter.h"

#include "Corvantesk/core/DebugConsole.h"

namespace corvantesk {
namespace {

std::string fileForm(const nlohmann::json& element) {
    return element.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

void QueueWriter::ensureLoaded() {
    if (loaded_.load()) {
        return;
    }
    std::lock_guard persisting(persistMutex_);
    loadLocked();
}

void QueueWriter::loadLocked() {
    if (loaded_.load()) {
        return;
    }
    std::size_t skippedRecords = 0;
    const nlohmann::json array = files_->load(skippedRecords);
    std::size_t skipped = 0;
    std::vector<QueueEntry> loaded;
    loaded.reserve(array.size());
    std::size_t loadedBytes = 0;
    for (const auto& element : array) {
        try {
            std::string text = fileForm(element);
            // Only what reads as an event, and fits a request, is kept.
            if (text.size() > QueueLimits::maxEventBytes || !codec_.readsAsEvent(element)) {
                ++skipped;
                continue;
            }
            loadedBytes += text.size();
            loaded.push_back(QueueEntry{nullptr, std::make_shared<const std::string>(std::move(text)), 0});
        } catch (const std::exception&) {
            ++skipped;
        }
    }
    if (skipped > 0) {
        files_->requireRewrite(); // the positions in the journal would no longer match
    }
    std::size_t count = 0;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(state_.mutex);
        // Events tracked before the files were read go after theirs, numbered anew: none of them has reached the
        // writer or the sender yet.
        std::vector<QueueEntry> tracked;
        tracked.reserve(state_.events.size());
        for (auto& entry : state_.events) {
            tracked.push_back(std::move(entry));
        }
        state_.events.clear();
        std::uint64_t seq = 1;
        for (auto& entry : loaded) {
            entry.seq = seq++;
            state_.events.push_back(std::move(entry));
        }
        state_.totalBytes += loadedBytes;
        if (files_->mustRewrite()) {
            ++state_.version; // the first write puts the whole queue in its file, adopted events included
        } else {
            for (const auto& entry : state_.events) {
                onDisk_.append(entry.seq, entry.text);
            }
            state_.journaledSeq = seq - 1;
        }
        for (auto& entry : tracked) {
            entry.seq = seq++;
            state_.events.push_back(std::move(entry));
        }
        state_.nextSeq = seq;
        // The count cap, as if those events had been tracked after the load.
        if (!tracked.empty() && state_.pending() > state_.maxSize) {
            dropped = state_.pending() - state_.maxSize;
            state_.erase(state_.inFlight, state_.inFlight + dropped, state_.running ? &state_.discarded : nullptr);
        }
        count = state_.events.size();
        loaded_.store(true);
    }
    skipped += skippedRecords;
    if (!loaded.empty()) {
        debugLine(debug_, "Loaded " + std::to_string(loaded.size()) + " persisted " + name_ + " events");
    }
    debugLine(debug_ && skipped > 0,
              "Skipped " + std::to_string(skipped) + " unreadable persisted " + name_ + " events");
    debugLine(debug_ && dropped > 0, "Queue " + name_ + " at max size, dropped " + std::to_string(dropped) +
                                         " oldest events (queue size: " + std::to_string(count) + ")");
}

} // namespace corvantesk
