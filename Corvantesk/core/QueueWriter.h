#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "Corvantesk/core/QueueDiskMirror.h"
#include "Corvantesk/core/QueueEventCodec.h"
#include "Corvantesk/core/QueueFiles.h"
#include "Corvantesk/core/QueueState.h"

namespace corvantesk {

class Storage;

// The writer of one queue and its files. Its thread (run()) saves what changed, coalescing changes, runs the
// housekeeping work, and decides when the sender flushes: by size, and once per interval. persist() writes on
// whichever thread calls it; writes are serialised by the disk lock, which also guards the files and their
// mirror. Events are encoded for the file here, never on a caller's thread.
//
// Each change is appended to a journal beside the queue file (new events in their file form, drops as
// positions), so the disk work follows what changed. The file is written anew when the journal has grown past it
// or most of its events are gone, on the disk thread, while changes go on into the journal: no event waits in
// memory for the disk.
class QueueWriter {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    using Housekeeping = std::function<Clock::time_point()>;

    // Takes the queue's files (QueueFiles) without reading them.
    QueueWriter(QueueState& state, const QueueEventCodec& codec, Storage& storage, std::string name, double interval,
                bool debug, Now now);

    // Reads the files into the state once, on whichever thread needs them first (the writer thread as it starts,
    // unless a caller asks for the events before): all of them, even beyond the count cap; elements that do not
    // read as events are skipped. Events queued before go after them, in their order, within the count cap.
    void ensureLoaded();

    // Work to run on the writer thread now and then; returns when it next wants to run. Under the queue lock.
    void setHousekeepingLocked(Housekeeping work) { housekeeping_ = std::move(work); }

    // The writer thread's body, until `stop`; writes what is left before it returns.
    void run(std::stop_token stop);

    // Writes what changed since the last call: the journal records, or the whole file when it is due. With
    // `sync`, flushes the journal to the disk too. Returns false when a needed write failed.
    bool persist(bool sync);

    // Forgets every event and deletes the files. False when the queue is retired (nothing done).
    bool clear();
    // Writes a last time and lets go of the files for another queue to take them; later changes are ignored.
    void retire();

    // Runs `use` with the disk lock held on the two lists the writer swaps with the state's (see prepareMemory).
    void
    withSwappedLists(const std::function<void(std::vector<QueueEntry>& freeing, std::vector<SeqRange>& removing)>& use);

    // Bytes handed to the disk so far, for measurements.
    std::uint64_t bytesWritten() const;

private:
    // ensureLoaded() with the disk lock held.
    void loadLocked();
    // Writes the changes since the last call (journal records, or the whole file); true when nothing needed
    // writing.
    bool writeChanges(bool sync);
    // Writes the queue file anew when it is due: on the disk thread (without `sync`) while changes go on into the
    // journal, and puts it in place once it is written.
    void keepFileCompact(bool sync);
    // With the disk lock held: flushes journal writes to the disk: now with `sync`, else in the background when
    // due.
    bool syncIfDue(bool sync);
    // When the journal holds writes not yet flushed to the disk, since when; far in the future when none.
    Clock::time_point unsyncedSince();
    static Clock::time_point runHousekeeping(const Housekeeping& work);

    // Journal writes reach the disk at most this long after they were made (a kill loses none of them: they
    // are in the system's cache at once).
    static constexpr Clock::duration kSyncDelay = std::chrono::seconds(1);
    // How often the writer looks for changes while they keep coming (what a kill may lose), and for how long
    // after the last one.
    static constexpr Clock::duration kPollInterval = std::chrono::milliseconds(2);
    static constexpr Clock::duration kPollFor = std::chrono::seconds(1);

    QueueState& state_;
    const QueueEventCodec& codec_;
    const std::string name_;
    const double interval_;
    const bool debug_;
    const Now now_;
    Housekeeping housekeeping_; // guarded by the queue lock
    // Set on the disk thread when a rewritten file is ready to be put in place. Before files_, which may set it
    // until it is gone.
    std::atomic<bool> rewriteWritten_{false};

    // The disk lock: serialises writes; guards what follows.
    mutable std::mutex persistMutex_;
    std::atomic<bool> loaded_{false}; // set once, under both locks
    std::unique_ptr<QueueFiles> files_;
    QueueDiskMirror onDisk_;          // what the files hold, and the invariant their positions rely on
    std::vector<QueueEntry> freeing_; // swapped with the state's discarded and emptied each time
    std::vector<SeqRange> removing_;  // swapped with the state's removals, the writer's while it persists
    Clock::time_point lastSync_ = Clock::now();
};

} // namespace corvantesk
