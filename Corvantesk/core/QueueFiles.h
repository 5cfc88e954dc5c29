#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/core/FileDescriptor.h"

namespace corvantesk {

class Storage;

// The journal beside a queue file ("corvantesk_offline_<name>.journal"): the changes made since the queue file
// was last written whole, one JSON object a line. The first line names the queue file it follows (its length
// and a hash of its bytes), so a journal left from before the last full write is recognised and ignored. Then
// {"add":<event>} appends an event and {"drop":[position,count]} removes events. A line cut short by a kill, or
// any line that does not read, is skipped.
namespace queue_journal {
std::string header(std::string_view snapshotText);
std::string addRecord(std::string_view encodedEvent);
std::string dropRecord(std::size_t position, std::size_t count);
// Applies the journal to the events of the queue file whose text was `snapshotText`. Returns how many records
// were skipped, or nullopt for a journal that follows another file (it changes nothing).
std::optional<std::size_t> replay(nlohmann::json& events, std::string_view snapshotText, std::string_view journalText);
// Whether the text begins with a journal's first line, of whatever queue file.
bool looksLikeJournal(std::string_view journalText);
} // namespace queue_journal

// The files of one event queue and the right to write them.
//
// One owner per queue file: the owner holds an exclusive lock on "corvantesk_offline_<name>.lock" for its
// lifetime (flock, so a second queue in the same process is refused too). An instance that cannot have it keeps
// files of its own, "corvantesk_offline_<name>.<id>.json" with their own lock; the next owner of the queue file
// adopts such files once their owner is gone: it loads their events after its own and deletes them once its
// first full write holds them.
//
// Writing: what load() found intact is continued (the journal appended to); otherwise, and once the journal
// outgrows the file, rewrite() writes the queue file whole (atomically, flushed to the disk) and starts a new
// journal. add() and drop() put records in a buffer that commit() appends in one write; the journal reaches the
// disk when commit() is asked to sync (a kill loses nothing written, the system keeps it). Not thread-safe: the queue
// serialises its calls. Nothing here blocks on a FIFO or follows a link planted at these paths; failures make the next
// commit a rewrite.
class QueueFiles {
public:
    QueueFiles(Storage& storage, const std::string& queueName);
    ~QueueFiles();
    QueueFiles(const QueueFiles&) = delete;
    QueueFiles& operator=(const QueueFiles&) = delete;

    // The name the files are stored under: the queue's own, or "<name>.<id>" for an instance's own files.
    const std::string& fileName() const { return fileName_; }
    bool ownsQueueFile() const { return ownsQueueFile_; }

    // The events on disk, as JSON elements, those of adopted files after this queue's own. `skipped` counts
    // journal records that did not read.
    nlohmann::json load(std::size_t& skipped);
    // How many files of other instances load() took in.
    std::size_t adoptedCount() const { return adopted_.size(); }

    bool needsRewrite() const;
    // The next write is to be whole (the caller could not take every loaded event).
    void requireRewrite() { rewriteNeeded_ = true; }
    bool rewrite(const std::vector<std::string_view>& encodedEvents);
    void add(std::string_view encodedEvent);
    void drop(std::size_t position, std::size_t count);
    // Appends what add() and drop() buffered; with `sync`, the journal is also flushed to the disk.
    bool commit(bool sync);
    bool hasUnsyncedWrites() const { return unsynced_; }

    // Deletes this queue's files (not the lock); the next write is a rewrite.
    void clear();
    // Lets go of the files: nothing is written any more, and another queue may own them.
    void release();

    // Bytes handed to the disk so far, for measurements.
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    struct Adopted {
        std::string fileName;
        platform::FileDescriptor lock;
    };
    void takeOwnership(const std::string& queueName);
    void adoptLeftFiles(const std::string& queueName);
    void removeAdoptedFiles();
    bool ensureJournal();

    Storage& storage_;
    std::string fileName_;
    bool ownsQueueFile_ = false;
    bool released_ = false;
    platform::FileDescriptor lock_;
    std::vector<Adopted> adopted_;
    platform::FileDescriptor journal_;
    std::string pending_;
    std::string header_;        // the first line of a journal that follows the queue file on disk
    bool journalValid_ = false; // the journal on disk starts with header_ and ends with a whole line
    std::uint64_t journalBytes_ = 0;
    std::uint64_t snapshotBytes_ = 0;
    bool rewriteNeeded_ = true;
    bool unsynced_ = false;
    std::uint64_t bytesWritten_ = 0;
};

} // namespace corvantesk
