#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Corvantesk/core/QueueState.h"

namespace corvantesk {

// The writer's mirror of what the queue's files hold: the events, by their number in the queue, in file order.
//
// Invariant: loading the files now (the queue file, then the journal that follows it replayed) gives exactly these
// events in this order. So an event's index here is its position in what a reader rebuilds, and a drop record is
// written with it; every record written to the files changes the mirror in the same step, under the writer's disk
// lock. Anything that breaks the match (a failed write) makes the next write whole, which sets the mirror afresh.
// Positions are counted in the events as they stand after each record, so they stay true whichever queue file and
// journal produced those events: a rewritten file's journal starts with the records that bring it here.
class QueueDiskMirror {
public:
    std::size_t size() const { return events_.size(); }
    // What the events take in their file form.
    std::uint64_t bytes() const { return bytes_; }
    std::vector<std::shared_ptr<const std::string>> texts() const;

    void append(std::uint64_t seq, std::shared_ptr<const std::string> text);
    // Removes the events numbered within `range`; returns where they stood and how many there were, if any.
    std::optional<std::pair<std::size_t, std::size_t>> remove(const SeqRange& range);
    void clear();

    // Notes the events now as those of a queue file being written anew.
    void noteRewrite();
    void forgetRewrite() { rewriteSeqs_.clear(); }
    // The journal records that bring that file (the events noted) to the events now: drops of those gone since,
    // then the events added since.
    std::string changesSinceRewrite() const;

private:
    struct Event {
        std::uint64_t seq;
        std::shared_ptr<const std::string> text;
    };
    std::deque<Event> events_;
    std::uint64_t bytes_ = 0;
    std::vector<std::uint64_t> rewriteSeqs_;
};

} // namespace corvantesk
