#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/QueueOwnership.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/SerialWorker.h"

namespace corvantesk {

class Storage;

// The files of one event queue: the queue file, a JSON array of events, and the journals beside it
// (QueueJournal.h), with the right to write them (QueueOwnership).
//
// Writing: what load() found intact is continued (the journal appended to); otherwise the queue file is written
// whole first. add() and drop() put records in a buffer that commit() appends in one write. Nothing a kill can
// lose waits for the disk: a write is in the system's cache at once, and flushing it to the disk (fsync), which a
// slow disk makes take tens of milliseconds, runs on a disk thread of its own unless the caller asks to wait for
// it. Rewriting the queue file (once the journal outgrows it, or most of its events are gone) runs on that thread
// too, while changes go on into the journal in place: beginRewrite() writes and flushes the new file there, and
// installRewrite() puts it in place with a new journal that starts with the changes made since.
//
// Not thread-safe: the queue's writer serialises its calls. Nothing here blocks on a FIFO or follows a link
// planted at these paths; failures make the next write whole.
class QueueFiles {
public:
    QueueFiles(Storage& storage, const std::string& queueName);
    // Lets go of the files; waits for work on the disk thread.
    ~QueueFiles();
    QueueFiles(const QueueFiles&) = delete;
    QueueFiles& operator=(const QueueFiles&) = delete;

    const std::string& fileName() const { return ownership_.fileName(); }
    bool ownsQueueFile() const { return ownership_.ownsQueueFile(); }

    // The events on disk, as JSON elements, those of adopted files after this queue's own. `skipped` counts
    // journal records that did not read.
    nlohmann::json load(std::size_t& skipped);
    std::size_t adoptedCount() const { return ownership_.adoptedCount(); }

    // The next write must be whole: the files may not hold what the queue thinks they hold.
    bool mustRewrite() const { return rewriteNeeded_; }
    void requireRewrite() { rewriteNeeded_ = true; }
    // Whether writing the queue file anew is worth it: the journal has outgrown the file, or the file holds
    // mostly events already gone (`liveBytes`: what the events on disk take in their file form).
    bool rewriteDue(std::uint64_t liveBytes) const;
    // Writes the queue file whole on this thread, flushed to the disk, and starts its journal.
    bool rewrite(const std::vector<std::string_view>& encodedEvents);

    // Starts writing the queue file anew with these events on the disk thread; false when that cannot start.
    bool beginRewrite(std::vector<std::shared_ptr<const std::string>> encodedEvents);
    // A rewrite was begun and is not in place yet.
    bool rewriteBegun() const { return rewriting_ != nullptr; }
    // The begun rewrite's file is written and flushed (or failed): installRewrite() may go.
    bool rewriteWritten() const;
    void waitForRewrite() const;
    // Puts the rewritten file in place with `changes` (journal records that bring it to the events now on disk)
    // at the start of its journal, and flushes the folder on the disk thread. False when the rewrite failed: the
    // journal in place goes on.
    bool installRewrite(std::string_view changes);
    // Called on the disk thread once a begun rewrite's file is written (to wake the writer).
    void setOnRewriteWritten(std::function<void()> wake) { onRewriteWritten_ = std::move(wake); }

    void add(std::string_view encodedEvent);
    void drop(std::size_t position, std::size_t count);
    // Appends what add() and drop() buffered; with `sync`, also flushes the journal to the disk before it
    // returns.
    bool commit(bool sync);
    bool hasUnsyncedWrites() const { return unsynced_; }
    // Flushes the journal to the disk on the disk thread (once the previous flush there has ended).
    void syncInBackground();

    // Deletes this queue's files (not the lock); the next write starts them anew.
    void clear();
    // Lets go of the files: nothing is written any more, and another queue may own them.
    void release();

    // Bytes handed to the disk so far, for measurements.
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    // A rewrite under way on the disk thread; the writer reads the results once `written` is set.
    struct Rewrite {
        std::unique_ptr<platform::AtomicFileWriter> file;
        std::uint64_t bytes = 0;
        std::string hash;
        bool ok = false;
        mutable std::mutex mutex;
        mutable std::condition_variable done;
        std::atomic<bool> written{false};
    };

    bool ensureJournal();
    // Makes the journal that follows a queue file of `snapshotBytes` hashed `snapshotHash` the one appended to:
    // the other journal file, a generation later than any so far, started by the next write.
    void startNextJournal(std::uint64_t snapshotBytes, const std::string& snapshotHash);
    // Runs `work` on the disk thread, or here when that thread is stopping.
    void onDiskThread(std::function<void()> work);
    // Drops a begun rewrite; its temporary file goes once the disk thread is done with it.
    void abandonRewrite() { rewriting_.reset(); }

    Storage& storage_;
    QueueOwnership ownership_;
    bool released_ = false;
    // The journal appended to: which of the two files, its descriptor (shared with flushes on the disk thread)
    // and its first line.
    int journalIndex_ = 0;
    std::shared_ptr<platform::FileDescriptor> journal_;
    std::string header_;
    std::uint64_t lastGeneration_ = 0; // the latest of either journal file
    bool journalValid_ = false;        // the journal on disk starts with header_ and ends with a whole line
    std::string pending_;
    std::uint64_t journalBytes_ = 0;
    std::uint64_t snapshotBytes_ = 0;
    bool rewriteNeeded_ = true;
    bool unsynced_ = false;
    std::shared_ptr<std::atomic<bool>> syncing_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<Rewrite> rewriting_;
    std::function<void()> onRewriteWritten_;
    std::uint64_t bytesWritten_ = 0;
    platform::OnDemandWorker disk_{"cvk-disk"}; // last: joined first
};

} // namespace corvantesk
