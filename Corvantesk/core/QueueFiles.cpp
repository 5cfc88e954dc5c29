#include "Corvantesk/core/QueueFiles.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "Corvantesk/core/QueueJournal.h"
#include "Corvantesk/core/Storage.h"
#include "platform/core/WriteAll.h"

namespace fs = std::filesystem;

namespace corvantesk {
namespace {

// The queue file is written anew once the journal outgrows both the file and this, or once the file is more than
// this and twice what its events still on disk take.
constexpr std::uint64_t kMinBytesBeforeRewrite = 64 * 1024;
// Pieces of a rewritten file are gathered up to this before each write.
constexpr std::size_t kRewriteChunkBytes = 1024 * 1024;

// Appends the queue file's text for these events to `out`, calling `flush` each time a chunk is gathered and at
// the end.
template <class Texts, class Flush> void writeArray(const Texts& texts, std::string& out, Flush flush) {
    out += '[';
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += texts[i];
        if (out.size() >= kRewriteChunkBytes) {
            flush();
        }
    }
    out += ']';
    flush();
}

} // namespace

QueueFiles::QueueFiles(Storage& storage, const std::string& queueName)
    : storage_(storage), ownership_(storage, queueName) {}

QueueFiles::~QueueFiles() {
    release();
}

nlohmann::json QueueFiles::load(std::size_t& skipped) {
    Storage::OfflineFileState state;
    nlohmann::json events = storage_.loadOfflineJson(fileName(), &skipped, &state);
    // Files found whole are gone on with; anything else is written whole first.
    rewriteNeeded_ = !state.intact;
    snapshotBytes_ = state.snapshotBytes;
    lastGeneration_ = state.lastGeneration;
    if (state.journal >= 0) {
        journalIndex_ = state.journal;
        journalBytes_ = state.journalBytes;
        journalValid_ = true;
    } else {
        // The journal is started with the first change, following the queue file as it is.
        header_ = queue_journal::header(state.snapshotBytes, state.snapshotHash, ++lastGeneration_);
        journalBytes_ = 0;
        journalValid_ = false;
    }
    for (const auto& adopted : ownership_.adoptLeftFiles()) {
        for (auto& event : storage_.loadOfflineJson(adopted, &skipped)) {
            events.push_back(std::move(event));
        }
        rewriteNeeded_ = true; // their events go into this queue's file, which then holds them all
    }
    return events;
}

bool QueueFiles::rewriteDue(std::uint64_t liveBytes) const {
    return journalBytes_ > std::max(snapshotBytes_, kMinBytesBeforeRewrite) ||
           snapshotBytes_ > std::max(kMinBytesBeforeRewrite, 2 * liveBytes);
}

// Opens the journal for appending, starting it (in place of one that no longer applies) when needed. A kill
// while it is started leaves a journal without a whole first line, which load ignores.
bool QueueFiles::ensureJournal() {
    if (journal_ && *journal_) {
        return true;
    }
    const fs::path path = storage_.offlineJournalPath(fileName(), journalIndex_);
    if (journalValid_) {
        journal_ = std::make_shared<platform::FileDescriptor>(openRegularFile(path, O_WRONLY | O_APPEND));
        return static_cast<bool>(*journal_);
    }
    auto journal = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    if (!journal || !platform::writeAll(journal.get(), header_)) {
        journal_.reset();
        return false;
    }
    journal_ = std::make_shared<platform::FileDescriptor>(std::move(journal));
    journalValid_ = true;
    journalBytes_ = header_.size();
    bytesWritten_ += header_.size();
    unsynced_ = true;
    return true;
}

void QueueFiles::startNextJournal(std::uint64_t snapshotBytes, const std::string& snapshotHash) {
    journal_.reset();
    journalIndex_ = 1 - journalIndex_;
    header_ = queue_journal::header(snapshotBytes, snapshotHash, ++lastGeneration_);
    journalValid_ = false;
    journalBytes_ = 0;
    snapshotBytes_ = snapshotBytes;
}

bool QueueFiles::rewrite(const std::vector<std::string_view>& encodedEvents) {
    if (released_) {
        return false;
    }
    abandonRewrite();
    pending_.clear();
    rewriteNeeded_ = true;
    std::string text;
    writeArray(encodedEvents, text, [] {});
    // The queue file first: a kill before the new journal has begun leaves the old one, which no longer applies.
    if (!platform::writeFileAtomically(storage_.offlineFilePath(fileName()), text, 0600)) {
        return false;
    }
    bytesWritten_ += text.size();
    ownership_.removeAdoptedFiles(); // their events are on disk in this file now
    startNextJournal(text.size(), queue_journal::hashText(text));
    if (!ensureJournal()) {
        return false;
    }
    rewriteNeeded_ = false;
    return true;
}

bool QueueFiles::beginRewrite(std::vector<std::shared_ptr<const std::string>> encodedEvents) {
    if (released_ || rewriteNeeded_ || rewriting_) {
        return false;
    }
    auto work = std::make_shared<Rewrite>();
    rewriting_ = work;
    onDiskThread([work, texts = std::move(encodedEvents), path = storage_.offlineFilePath(fileName()),
                  wake = onRewriteWritten_] {
        auto file = std::make_unique<platform::AtomicFileWriter>(path, 0600);
        queue_journal::SnapshotHash hash;
        std::uint64_t bytes = 0;
        std::string chunk;
        chunk.reserve(kRewriteChunkBytes + 1024);
        struct Pieces {
            const std::vector<std::shared_ptr<const std::string>>& texts;
            std::size_t size() const { return texts.size(); }
            std::string_view operator[](std::size_t i) const { return *texts[i]; }
        };
        writeArray(Pieces{texts}, chunk, [&] {
            hash.add(chunk);
            bytes += chunk.size();
            file->write(chunk);
            chunk.clear();
        });
        const bool ok = file->flushToDisk();
        {
            std::lock_guard lock(work->mutex);
            work->file = std::move(file);
            work->bytes = bytes;
            work->hash = hash.text();
            work->ok = ok;
            work->written.store(true);
        }
        work->done.notify_all();
        if (wake) {
            wake();
        }
    });
    return true;
}

bool QueueFiles::rewriteWritten() const {
    return rewriting_ && rewriting_->written.load();
}

void QueueFiles::waitForRewrite() const {
    if (rewriting_) {
        std::unique_lock lock(rewriting_->mutex);
        rewriting_->done.wait(lock, [&] { return rewriting_->written.load(); });
    }
}

bool QueueFiles::installRewrite(std::string_view changes) {
    if (!rewriteWritten() || released_ || rewriteNeeded_ || !pending_.empty()) {
        return false;
    }
    const auto work = std::move(rewriting_);
    std::lock_guard lock(work->mutex);
    if (!work->ok) {
        return false;
    }
    // The new file's journal is whole on disk before the file takes its place: a kill between the two leaves
    // the old file with its journal, or the new one with this. Both are flushed to the disk later; until then a
    // power cut may lose the last changes, never the older ones (the new file itself is flushed already).
    const int next = 1 - journalIndex_;
    const std::uint64_t generation = lastGeneration_ + 1;
    std::string text = queue_journal::header(work->bytes, work->hash, generation);
    text += changes;
    const fs::path path = storage_.offlineJournalPath(fileName(), next);
    auto journal = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    if (!journal || !platform::writeAll(journal.get(), text) || !work->file->commit(false)) {
        // Were the new file's bytes those of the file in place, this journal would follow it: it must go.
        ::unlink(path.c_str());
        return false;
    }
    startNextJournal(work->bytes, work->hash);
    journal_ = std::make_shared<platform::FileDescriptor>(std::move(journal));
    journalValid_ = true;
    journalBytes_ = text.size();
    bytesWritten_ += work->bytes + text.size();
    unsynced_ = true;
    onDiskThread([path = storage_.offlineFilePath(fileName())] { platform::syncFolderOf(path); });
    return true;
}

void QueueFiles::add(std::string_view encodedEvent) {
    pending_ += queue_journal::addRecord(encodedEvent);
}

void QueueFiles::drop(std::size_t position, std::size_t count) {
    pending_ += queue_journal::dropRecord(position, count);
}

bool QueueFiles::commit(bool sync) {
    if (!pending_.empty()) {
        if (released_ || rewriteNeeded_ || !ensureJournal() || !platform::writeAll(journal_->get(), pending_)) {
            // What is on disk is no longer known: write it whole next time.
            pending_.clear();
            journal_.reset();
            journalValid_ = false;
            rewriteNeeded_ = true;
            return false;
        }
        journalBytes_ += pending_.size();
        bytesWritten_ += pending_.size();
        pending_.clear();
        unsynced_ = true;
    }
    if (sync && unsynced_ && journal_) {
        unsynced_ = false;
        return ::fdatasync(journal_->get()) == 0;
    }
    return !rewriteNeeded_;
}

void QueueFiles::syncInBackground() {
    if (!unsynced_ || !journal_ || syncing_->exchange(true)) {
        return; // nothing to flush, or the flush before is still under way
    }
    unsynced_ = false;
    onDiskThread([journal = journal_, syncing = syncing_] {
        ::fdatasync(journal->get());
        syncing->store(false);
    });
}

void QueueFiles::onDiskThread(std::function<void()> work) {
    if (!disk_.post([work](std::stop_token) { work(); })) {
        work();
    }
}

void QueueFiles::clear() {
    abandonRewrite();
    storage_.clearOfflineEvents(fileName());
    pending_.clear();
    // No files is the state of an empty queue whose journal has not begun.
    journal_.reset();
    header_ = queue_journal::header("", ++lastGeneration_);
    journalValid_ = false;
    snapshotBytes_ = 0;
    journalBytes_ = 0;
    rewriteNeeded_ = false;
    unsynced_ = false;
}

void QueueFiles::release() {
    if (released_) {
        return;
    }
    released_ = true;
    abandonRewrite();
    pending_.clear();
    journal_.reset();
    ownership_.release();
}

} // namespace corvantesk
