#include "Corvantesk/core/QueueFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Corvantesk/core/Storage.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Uuid.h"
#include "platform/core/WriteAll.h"

namespace fs = std::filesystem;

namespace corvantesk {
namespace {

constexpr std::string_view kPrefix = "corvantesk_offline_";
// The journal is folded into the queue file once it outgrows both the file and this.
constexpr std::uint64_t kMinJournalBytesBeforeRewrite = 64 * 1024;

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : bytes) {
        hash = (hash ^ c) * 0x100000001b3ULL;
    }
    return hash;
}

std::string hashText(std::string_view bytes) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(fnv1a(bytes)));
    return text;
}

// A regular file opened without following a link or waiting on a FIFO; an empty descriptor for anything else.
platform::FileDescriptor openRegular(const fs::path& path, int flags) {
    platform::FileDescriptor fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        return {};
    }
    return fd;
}

bool tryLock(const platform::FileDescriptor& fd) {
    return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

bool isUuidText(std::string_view text) {
    return text.size() == 36 && std::all_of(text.begin(), text.end(), [](char c) {
               return c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
           });
}

fs::path lockPath(const fs::path& folder, const std::string& fileName) {
    return folder / (std::string(kPrefix) + fileName + ".lock");
}

} // namespace

namespace queue_journal {

std::string header(std::string_view snapshotText) {
    return R"({"journal":{"snapshotBytes":)" + std::to_string(snapshotText.size()) + R"(,"snapshotHash":")" +
           hashText(snapshotText) + "\"}}\n";
}

std::string addRecord(std::string_view encodedEvent) {
    std::string line;
    line.reserve(encodedEvent.size() + 9);
    line += R"({"add":)";
    line += encodedEvent;
    line += "}\n";
    return line;
}

std::string dropRecord(std::size_t position, std::size_t count) {
    return R"({"drop":[)" + std::to_string(position) + "," + std::to_string(count) + "]}\n";
}

bool looksLikeJournal(std::string_view journalText) {
    const std::size_t firstEnd = journalText.find('\n');
    if (firstEnd == std::string_view::npos) {
        return journalText.empty(); // cut short while it was being started
    }
    const auto first = nlohmann::json::parse(journalText.substr(0, firstEnd), nullptr, false);
    return first.is_object() && first.contains("journal");
}

std::optional<std::size_t> replay(nlohmann::json& events, std::string_view snapshotText, std::string_view journalText) {
    const std::size_t firstEnd = journalText.find('\n');
    if (firstEnd == std::string_view::npos || journalText.substr(0, firstEnd + 1) != header(snapshotText)) {
        return std::nullopt; // it follows an earlier queue file, whose contents the present one already holds
    }
    std::size_t skipped = 0;
    std::size_t at = firstEnd + 1;
    while (at < journalText.size()) {
        const std::size_t end = journalText.find('\n', at);
        if (end == std::string_view::npos) {
            ++skipped; // cut short by a kill
            break;
        }
        const auto record = nlohmann::json::parse(journalText.substr(at, end - at), nullptr, false);
        at = end + 1;
        const auto add = record.is_object() ? record.find("add") : record.end();
        const auto drop = record.is_object() ? record.find("drop") : record.end();
        if (add != record.end()) {
            events.push_back(*add);
        } else if (drop != record.end() && drop->is_array() && drop->size() == 2 && (*drop)[0].is_number_unsigned() &&
                   (*drop)[1].is_number_unsigned()) {
            const std::size_t size = events.size();
            const auto position = std::min<std::uint64_t>((*drop)[0].get<std::uint64_t>(), size);
            const auto count = std::min<std::uint64_t>((*drop)[1].get<std::uint64_t>(), size - position);
            events.erase(events.begin() + static_cast<std::ptrdiff_t>(position),
                         events.begin() + static_cast<std::ptrdiff_t>(position + count));
        } else {
            ++skipped;
        }
    }
    return skipped;
}

} // namespace queue_journal

QueueFiles::QueueFiles(Storage& storage, const std::string& queueName) : storage_(storage) {
    takeOwnership(queueName);
}

QueueFiles::~QueueFiles() {
    release();
}

void QueueFiles::takeOwnership(const std::string& queueName) {
    const fs::path folder = storage_.directory();
    platform::FileDescriptor shared = openRegular(lockPath(folder, queueName), O_RDWR | O_CREAT);
    if (tryLock(shared)) {
        lock_ = std::move(shared);
        fileName_ = queueName;
        ownsQueueFile_ = true;
        return;
    }
    // Another instance owns the queue file: this one keeps its own, locked before it appears under its name, so
    // an adopter never takes the files of a live instance.
    fileName_ = queueName + "." + platform::makeUuidString();
    std::string temp = (folder / ("." + std::string(kPrefix) + fileName_ + ".lock.tmp-XXXXXX")).string();
    platform::FileDescriptor own(::mkstemp(temp.data()));
    if (tryLock(own) && ::rename(temp.c_str(), lockPath(folder, fileName_).c_str()) == 0) {
        lock_ = std::move(own);
    } else {
        ::unlink(temp.c_str());
    }
}

void QueueFiles::adoptLeftFiles(const std::string& queueName) {
    const fs::path folder = storage_.directory();
    const std::string prefix = std::string(kPrefix) + queueName + ".";
    std::set<std::string> ids;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix)) {
            continue;
        }
        const std::string rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        const std::string suffix = dot == std::string::npos ? "" : rest.substr(dot);
        if (isUuidText(rest.substr(0, dot)) && (suffix == ".lock" || suffix == ".json" || suffix == ".journal")) {
            ids.insert(rest.substr(0, dot));
        }
    }
    for (const auto& id : ids) {
        const std::string fileName = queueName + "." + id;
        const fs::path path = lockPath(folder, fileName);
        platform::FileDescriptor lock = openRegular(path, O_RDWR);
        std::error_code missing;
        if (lock ? !tryLock(lock) : fs::exists(fs::symlink_status(path, missing))) {
            continue; // its instance still runs (or its lock is not ours to judge)
        }
        adopted_.push_back(Adopted{fileName, std::move(lock)});
    }
}

nlohmann::json QueueFiles::load(std::size_t& skipped) {
    Storage::OfflineFileState state;
    nlohmann::json events = storage_.loadOfflineJson(fileName_, &skipped, &state);
    // Files found whole are gone on with; anything else is written whole first.
    rewriteNeeded_ = !state.intact;
    header_ = state.intact ? state.journalHeader : queue_journal::header("");
    snapshotBytes_ = state.snapshotBytes;
    journalBytes_ = state.journalBytes;
    journalValid_ = state.intact && state.journalBytes > 0;
    if (!ownsQueueFile_) {
        return events;
    }
    adoptLeftFiles(fileName_);
    rewriteNeeded_ = rewriteNeeded_ || !adopted_.empty();
    for (const auto& adopted : adopted_) {
        for (auto& event : storage_.loadOfflineJson(adopted.fileName, &skipped)) {
            events.push_back(std::move(event));
        }
    }
    return events;
}

void QueueFiles::removeAdoptedFiles() {
    const fs::path folder = storage_.directory();
    for (auto& adopted : adopted_) {
        storage_.clearOfflineEvents(adopted.fileName);
        ::unlink(lockPath(folder, adopted.fileName).c_str());
    }
    adopted_.clear();
}

bool QueueFiles::needsRewrite() const {
    return rewriteNeeded_ || journalBytes_ > std::max(snapshotBytes_, kMinJournalBytesBeforeRewrite);
}

// Opens the journal for appending, starting a new one (in place of one that no longer applies) when needed. A
// kill while it is started leaves a journal without a whole first line, which load ignores.
bool QueueFiles::ensureJournal() {
    if (journal_) {
        return true;
    }
    const fs::path path = storage_.offlineJournalPath(fileName_);
    if (journalValid_) {
        journal_ = openRegular(path, O_WRONLY | O_APPEND);
        return static_cast<bool>(journal_);
    }
    journal_ = openRegular(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    if (!journal_ || !platform::writeAll(journal_.get(), header_)) {
        journal_.close();
        return false;
    }
    journalValid_ = true;
    journalBytes_ = header_.size();
    bytesWritten_ += header_.size();
    unsynced_ = true;
    return true;
}

bool QueueFiles::rewrite(const std::vector<std::string_view>& encodedEvents) {
    if (released_) {
        return false;
    }
    pending_.clear();
    rewriteNeeded_ = true;
    std::size_t size = 2;
    for (const auto& event : encodedEvents) {
        size += event.size() + 1;
    }
    std::string text;
    text.reserve(size);
    text += '[';
    for (std::size_t i = 0; i < encodedEvents.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        text += encodedEvents[i];
    }
    text += ']';
    // The queue file first: a kill before the new journal has begun leaves the old one, which no longer applies.
    if (!platform::writeFileAtomically(storage_.offlineFilePath(fileName_), text, 0600)) {
        return false;
    }
    bytesWritten_ += text.size();
    removeAdoptedFiles(); // their events are on disk in this file now
    journal_.close();
    journalValid_ = false;
    header_ = queue_journal::header(text);
    snapshotBytes_ = text.size();
    journalBytes_ = 0;
    if (!ensureJournal()) {
        return false;
    }
    rewriteNeeded_ = false;
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
        if (released_ || rewriteNeeded_ || !ensureJournal() || !platform::writeAll(journal_.get(), pending_)) {
            // What is on disk is no longer known: write it whole next time.
            pending_.clear();
            journal_.close();
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
        return ::fdatasync(journal_.get()) == 0;
    }
    return !rewriteNeeded_;
}

void QueueFiles::clear() {
    storage_.clearOfflineEvents(fileName_);
    journal_.close();
    pending_.clear();
    // No files is the state of an empty queue whose journal has not begun.
    journalValid_ = false;
    header_ = queue_journal::header("");
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
    pending_.clear();
    journal_.close();
    adopted_.clear();
    lock_.close();
}

} // namespace corvantesk
