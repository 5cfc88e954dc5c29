#include "Corvantesk/core/Storage.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "Corvantesk/core/QueueJournal.h"
#include "Corvantesk/core/SetAsideFiles.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"

namespace fs = std::filesystem;

namespace corvantesk {
namespace {

constexpr const char* kCrashMarkerName = "corvantesk_crash_marker.json";
constexpr std::size_t kMaxCrashMarkerBytes = 64 * 1024;

// A value to store, or nullopt to remove the key.
template <class T> std::optional<nlohmann::json> valueOrRemoval(const std::optional<T>& value) {
    return value ? std::optional<nlohmann::json>(*value) : std::nullopt;
}

// One of the SDK's own files as read: missing, its bytes, or something that must not be read (not a regular
// file, a link, too large, unreadable).
struct OwnFile {
    enum class State { missing, read, unusable } state = State::missing;
    std::string bytes;
};

// Opens without following a link and without waiting for a writer when a FIFO sits at the path; checks the type
// on the open descriptor.
OwnFile readOwnFile(const fs::path& path, std::size_t maxBytes) {
    OwnFile file;
    platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        file.state = errno == ENOENT ? OwnFile::State::missing : OwnFile::State::unusable;
        return file;
    }
    file.state = OwnFile::State::unusable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        return file;
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || content.size() + static_cast<std::size_t>(n) > maxBytes) {
            return file;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    file.state = OwnFile::State::read;
    file.bytes = std::move(content);
    return file;
}

} // namespace

Storage& Storage::shared() {
    static Storage* instance = new Storage(); // never destroyed: SDK threads may still use it during exit
    return *instance;
}

Storage::Storage() : defaults_(&platform::UserDefaults::standard()) {
    // Never destroyed, so what its writer has not written yet goes to disk as the process exits normally.
    std::atexit([] { shared().waitForWrites(std::chrono::seconds(2)); });
}

Storage::Storage(platform::UserDefaults& defaults, fs::path directory)
    : defaults_(&defaults), directory_(std::move(directory)) {}

const std::string& Storage::currentLaunchId() {
    static const std::string id = platform::makeUuidString();
    return id;
}

std::optional<std::string> Storage::deviceId() const {
    std::lock_guard lock(deviceIdMutex_);
    return defaults_->string(storage_keys::deviceId);
}

std::string Storage::getOrCreateDeviceId() {
    std::lock_guard lock(deviceIdMutex_);
    if (auto stored = defaults_->string(storage_keys::deviceId)) {
        return *stored;
    }
    std::string id = platform::makeUuidString();
    store({{storage_keys::deviceId, id}});
    return id;
}

void Storage::store(const platform::UserDefaults::Changes& changes) {
    defaults_->updateInMemory(changes);
    if (writeQueued_.exchange(true)) {
        return; // the write already waiting takes this change too
    }
    const bool posted = writer_.post([this](std::stop_token) {
        writeQueued_.store(false);
        defaults_->writePending();
    });
    if (!posted) {
        writeQueued_.store(false);
        defaults_->writePending();
    }
}

bool Storage::waitForWrites(std::chrono::milliseconds timeout) {
    return writer_.waitForIdle(timeout);
}

void Storage::saveLaunchId() {
    store({{storage_keys::launchId, currentLaunchId()}});
}

void Storage::storeSession(const std::string& id, platform::AbsoluteTime start, platform::AbsoluteTime lastActivity,
                           bool withLaunchId) {
    platform::UserDefaults::Changes changes{{storage_keys::sessionId, id},
                                            {storage_keys::sessionStart, start.unixSeconds()},
                                            {storage_keys::lastActivity, lastActivity.unixSeconds()}};
    if (withLaunchId) {
        changes.emplace_back(storage_keys::launchId, currentLaunchId());
    }
    store(changes);
}

std::optional<std::string> Storage::storedLaunchId() const {
    return defaults_->string(storage_keys::launchId);
}

bool Storage::isNewLaunch() const {
    return storedLaunchId() != currentLaunchId();
}

std::optional<std::string> Storage::sessionId() const {
    return defaults_->string(storage_keys::sessionId);
}

void Storage::setSessionId(const std::optional<std::string>& id) {
    store({{storage_keys::sessionId, valueOrRemoval(id)}});
}

std::optional<platform::AbsoluteTime> Storage::dateValue(const char* key) const {
    const auto seconds = defaults_->number(key);
    if (!seconds || !(*seconds > 0.0)) {
        return std::nullopt;
    }
    return platform::AbsoluteTime::fromUnixSeconds(*seconds);
}

void Storage::setDateValue(const char* key, const std::optional<platform::AbsoluteTime>& date) {
    store({{key, date ? std::optional<nlohmann::json>(date->unixSeconds()) : std::nullopt}});
}

std::optional<platform::AbsoluteTime> Storage::sessionStart() const {
    return dateValue(storage_keys::sessionStart);
}
void Storage::setSessionStart(const std::optional<platform::AbsoluteTime>& date) {
    setDateValue(storage_keys::sessionStart, date);
}
std::optional<platform::AbsoluteTime> Storage::lastActivity() const {
    return dateValue(storage_keys::lastActivity);
}
void Storage::setLastActivity(const std::optional<platform::AbsoluteTime>& date) {
    setDateValue(storage_keys::lastActivity, date);
}

std::optional<bool> Storage::consent() const {
    if (!defaults_->boolean(storage_keys::consentChoiceMade).value_or(false)) {
        return std::nullopt;
    }
    return defaults_->boolean(storage_keys::consentState).value_or(false);
}

void Storage::setConsent(bool granted) {
    store({{storage_keys::consentChoiceMade, true}, {storage_keys::consentState, granted}});
}

void Storage::clearConsent() {
    store({{storage_keys::consentState, std::nullopt}, {storage_keys::consentChoiceMade, std::nullopt}});
}

std::optional<std::string> Storage::userId() const {
    return defaults_->string(storage_keys::userId);
}

void Storage::setUserId(const std::optional<std::string>& id) {
    store({{storage_keys::userId, valueOrRemoval(id)}});
}

fs::path Storage::folder() const {
    return directory_ ? *directory_ : platform::cachesDir() / "Corvantesk";
}

fs::path Storage::ensureFolder() const {
    const fs::path path = folder();
    platform::createPrivateDirectory(path); // a failure shows up later as a failed write, which is ignored
    {
        // Writes cut short by a killed process leave temporary files beside the queue files, and files set aside
        // are kept only for a while: clear them the first time the folder is used.
        std::lock_guard lock(sweepMutex_);
        if (sweptFolder_ != path && !path.empty()) {
            sweptFolder_ = path;
            platform::removeStaleTemporaries(path, "corvantesk_");
            sweepSetAsideFiles(path);
        }
    }
    return path;
}

fs::path Storage::directory() const {
    return ensureFolder();
}

fs::path Storage::offlineFilePath(const std::string& queueName) const {
    return ensureFolder() / ("corvantesk_offline_" + queueName + ".json");
}

fs::path Storage::crashMarkerPath() const {
    return ensureFolder() / kCrashMarkerName;
}

fs::path Storage::offlineJournalPath(const std::string& queueName, int index) const {
    return ensureFolder() / ("corvantesk_offline_" + queueName + (index == 0 ? ".journal" : ".journal2"));
}

void Storage::removeOfflineJournals(const std::string& queueName) {
    std::error_code ec;
    for (int index = 0; index < kJournalFiles; ++index) {
        fs::remove(offlineJournalPath(queueName, index), ec);
    }
}

bool Storage::saveOfflineJsonLocked(const nlohmann::json& events, const std::string& queueName) {
    std::string text;
    try {
        text = events.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        return false; // out of memory: keep the previous file
    }
    if (!platform::writeFileAtomically(offlineFilePath(queueName), text, 0600)) {
        return false;
    }
    removeOfflineJournals(queueName); // they followed the previous file and would be ignored anyway
    return true;
}

nlohmann::json Storage::loadOfflineJsonLocked(const std::string& queueName, std::size_t* skippedRecords,
                                              OfflineFileState* state) {
    const fs::path file = offlineFilePath(queueName);
    nlohmann::json events = nlohmann::json::array();
    // The text a journal must name to apply: none when the queue file was set aside.
    std::optional<std::string> snapshot;
    OwnFile read = readOwnFile(file, kMaxQueueFileBytes);
    if (read.state == OwnFile::State::read) {
        auto json = nlohmann::json::parse(read.bytes, nullptr, false);
        if (json.is_array()) {
            events = std::move(json);
            snapshot = std::move(read.bytes);
        } else {
            setAside(file);
        }
    } else if (read.state == OwnFile::State::unusable) {
        setAside(file);
    } else {
        snapshot = std::string();
    }
    OfflineFileState found;
    found.intact = snapshot.has_value();
    const std::string snapshotHash = snapshot ? queue_journal::hashText(*snapshot) : std::string();
    // Of the journals that follow the queue file, the latest generation.
    std::string chosen;
    for (int index = 0; index < kJournalFiles; ++index) {
        const fs::path journal = offlineJournalPath(queueName, index);
        read = readOwnFile(journal, kMaxQueueFileBytes);
        if (read.state == OwnFile::State::unusable ||
            (read.state == OwnFile::State::read && !queue_journal::looksLikeJournal(read.bytes))) {
            setAside(journal);
            continue;
        }
        const auto header = read.state == OwnFile::State::read ? queue_journal::readHeader(read.bytes) : std::nullopt;
        if (!header) {
            continue;
        }
        found.lastGeneration = std::max(found.lastGeneration, header->generation);
        if (snapshot && queue_journal::follows(*header, *snapshot, snapshotHash) &&
            (found.journal < 0 || header->generation > found.journalGeneration)) {
            found.journal = index;
            found.journalGeneration = header->generation;
            found.journalBytes = read.bytes.size();
            chosen = std::move(read.bytes);
        }
    }
    if (found.journal >= 0) {
        const std::size_t skipped = queue_journal::replay(events, chosen);
        found.intact = found.intact && skipped == 0;
        if (skippedRecords != nullptr) {
            *skippedRecords += skipped;
        }
    }
    if (state != nullptr) {
        found.snapshotBytes = snapshot ? snapshot->size() : 0;
        found.snapshotHash = snapshot ? snapshotHash : queue_journal::hashText("");
        *state = std::move(found);
    }
    return events;
}

bool Storage::saveOfflineJson(const nlohmann::json& events, const std::string& queueName) {
    std::lock_guard lock(mutex_);
    return saveOfflineJsonLocked(events, queueName);
}

nlohmann::json Storage::loadOfflineJson(const std::string& queueName, std::size_t* skippedRecords,
                                        OfflineFileState* state) {
    std::lock_guard lock(mutex_);
    return loadOfflineJsonLocked(queueName, skippedRecords, state);
}

void Storage::updateOfflineJson(const std::string& queueName,
                                const std::function<void(nlohmann::json& events)>& change) {
    std::lock_guard lock(mutex_);
    nlohmann::json events = loadOfflineJsonLocked(queueName, nullptr, nullptr);
    change(events);
    saveOfflineJsonLocked(events, queueName);
}

void Storage::clearOfflineEvents(const std::string& queueName) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::remove(offlineFilePath(queueName), ec);
    removeOfflineJournals(queueName);
}

CrashMarkerWriter Storage::makeCrashMarkerWriter() const {
    return CrashMarkerWriter(crashMarkerPath());
}

std::optional<CrashMarker> Storage::readCrashMarker() {
    std::lock_guard lock(mutex_);
    const fs::path file = folder() / kCrashMarkerName;
    const OwnFile read = readOwnFile(file, kMaxCrashMarkerBytes);
    if (read.state == OwnFile::State::missing) {
        return std::nullopt;
    }
    auto marker = read.state == OwnFile::State::read ? decodeCrashMarker(read.bytes) : std::nullopt;
    if (!marker) {
        setAside(file);
        return std::nullopt;
    }
    return marker;
}

void Storage::removeCrashMarker() {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::remove(folder() / kCrashMarkerName, ec);
}

std::optional<CrashMarker> Storage::consumeCrashMarker() {
    auto marker = readCrashMarker();
    if (marker) {
        removeCrashMarker();
    }
    return marker;
}

bool Storage::hasCrashMarker() const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(folder() / kCrashMarkerName, ec));
}

void Storage::clearAll() {
    platform::UserDefaults::Changes forgotten;
    for (const char* key : {storage_keys::sessionId, storage_keys::sessionStart, storage_keys::lastActivity,
                            storage_keys::consentState, storage_keys::consentChoiceMade, storage_keys::userId}) {
        forgotten.emplace_back(key, std::nullopt);
    }
    store(forgotten);
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::remove_all(folder(), ec);
}

} // namespace corvantesk
