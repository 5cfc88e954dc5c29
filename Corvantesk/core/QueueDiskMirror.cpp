#include "Corvantesk/core/QueueDiskMirror.h"

#include <algorithm>

#include "Corvantesk/core/QueueJournal.h"

namespace corvantesk {

std::vector<std::shared_ptr<const std::string>> QueueDiskMirror::texts() const {
    std::vector<std::shared_ptr<const std::string>> texts;
    texts.reserve(events_.size());
    for (const auto& event : events_) {
        texts.push_back(event.text);
    }
    return texts;
}

void QueueDiskMirror::append(std::uint64_t seq, std::shared_ptr<const std::string> text) {
    bytes_ += text ? text->size() : 0;
    events_.push_back(Event{seq, std::move(text)});
}

std::optional<std::pair<std::size_t, std::size_t>> QueueDiskMirror::remove(const SeqRange& range) {
    const auto from = std::lower_bound(events_.begin(), events_.end(), range.first,
                                       [](const Event& event, std::uint64_t seq) { return event.seq < seq; });
    auto to = from;
    while (to != events_.end() && to->seq <= range.last) {
        bytes_ -= to->text ? to->text->size() : 0;
        ++to;
    }
    if (from == to) {
        return std::nullopt;
    }
    const auto removed =
        std::make_pair(static_cast<std::size_t>(from - events_.begin()), static_cast<std::size_t>(to - from));
    events_.erase(from, to);
    return removed;
}

void QueueDiskMirror::clear() {
    events_.clear();
    bytes_ = 0;
    rewriteSeqs_.clear();
}

void QueueDiskMirror::noteRewrite() {
    rewriteSeqs_.clear();
    rewriteSeqs_.reserve(events_.size());
    for (const auto& event : events_) {
        rewriteSeqs_.push_back(event.seq);
    }
}

std::string QueueDiskMirror::changesSinceRewrite() const {
    // Events only ever join at the end, so the events now are those noted less some, then newer ones.
    std::string changes;
    std::size_t position = 0; // in the events as the records so far leave them
    auto now = events_.begin();
    std::size_t gone = 0;
    const auto dropGone = [&] {
        if (gone > 0) {
            changes += queue_journal::dropRecord(position, gone);
            gone = 0;
        }
    };
    for (const std::uint64_t seq : rewriteSeqs_) {
        if (now != events_.end() && now->seq == seq) {
            dropGone();
            ++position;
            ++now;
        } else {
            ++gone;
        }
    }
    dropGone();
    for (; now != events_.end(); ++now) {
        changes += queue_journal::addRecord(*now->text);
    }
    return changes;
}

} // namespace corvantesk
