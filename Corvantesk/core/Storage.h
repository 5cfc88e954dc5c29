#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/CrashMarker.h"
#include "platform/core/AbsoluteTime.h"
#include "platform/core/SerialWorker.h"
#include "platform/core/UserDefaults.h"

namespace corvantesk {

// The user-defaults keys of the SDK. Other parts read and write some of them by name.
namespace storage_keys {
inline constexpr const char* deviceId = "corvantesk_device_id";
inline constexpr const char* launchId = "corvantesk_launch_id";
inline constexpr const char* sessionId = "corvantesk_session_id";
inline constexpr const char* sessionStart = "corvantesk_session_start"; // seconds since 1970
inline constexpr const char* lastActivity = "corvantesk_last_activity"; // seconds since 1970
inline constexpr const char* consentState = "corvantesk_consent_state";
inline constexpr const char* consentChoiceMade = "corvantesk_consent_choice_made";
inline constexpr const char* userId = "corvantesk_user_id";
} // namespace storage_keys

// The SDK's one place of persistence: its user-defaults keys, the offline queue files and the crash marker,
// the files in one private folder ("Corvantesk" in the caches folder unless another is given).
//
// Any thread may call any member. The settings setters change the values in memory at once (every reader sees
// them) and leave the file to Storage's own thread, so no caller waits for the disk; waitForWrites() waits for
// it. One lock guards the files; it is never held while calling out of Storage. Nothing throws for file-system
// reasons: failed writes are ignored, unreadable queue files read as empty. The crash marker is written through a
// CrashMarkerWriter made in advance, never here under the lock, because the writer runs in a signal handler.
class Storage {
public:
    // Queue files larger than this are never parsed: they are set aside as "<name>.bad" (SetAsideFiles.h) and
    // read as empty.
    static constexpr std::size_t kMaxQueueFileBytes = 64u * 1024 * 1024;

    // The process-wide storage: the standard user defaults and platform::cachesDir()/"Corvantesk", the folder
    // resolved at each use. Never destroyed; settings changes still waiting are written when the process exits.
    static Storage& shared();

    // Storage on the given defaults and folder (tests, or an SDK embedded elsewhere). `defaults` must outlive it.
    // The destructor writes the settings changes still waiting.
    Storage(platform::UserDefaults& defaults, std::filesystem::path directory);

    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // A random UUID made once per process.
    static const std::string& currentLaunchId();

    platform::UserDefaults& defaults() const { return *defaults_; }

    std::optional<std::string> deviceId() const;
    // The stored device id, made and stored on first use; survives clearAll().
    std::string getOrCreateDeviceId();

    void saveLaunchId();
    std::optional<std::string> storedLaunchId() const;
    // True until saveLaunchId() has stored this process's launch id.
    bool isNewLaunch() const;

    // The session's three keys, and this process's launch id when asked, in one change of the settings file.
    void storeSession(const std::string& id, platform::AbsoluteTime start, platform::AbsoluteTime lastActivity,
                      bool withLaunchId = false);

    std::optional<std::string> sessionId() const;
    void setSessionId(const std::optional<std::string>& id);
    // Stored as seconds since 1970; a stored value of 0 or less reads as absent.
    std::optional<platform::AbsoluteTime> sessionStart() const;
    void setSessionStart(const std::optional<platform::AbsoluteTime>& date);
    std::optional<platform::AbsoluteTime> lastActivity() const;
    void setLastActivity(const std::optional<platform::AbsoluteTime>& date);

    // Absent until a choice was made; then the stored consent.
    std::optional<bool> consent() const;
    void setConsent(bool granted);
    void clearConsent();

    std::optional<std::string> userId() const;
    void setUserId(const std::optional<std::string>& id); // nullopt removes it

    // The storage folder (created, mode 0700) and the files in it.
    std::filesystem::path directory() const;
    std::filesystem::path offlineFilePath(const std::string& queueName) const;
    std::filesystem::path crashMarkerPath() const;

    // Offline queues. The queue file is a JSON array; the queue's own writes add journals beside it (see
    // QueueJournal.h), which load replays. saveOfflineJson writes the array atomically and drops the journals;
    // load gives an empty array for a missing file and sets aside (as "<file>.bad", never read again, see
    // SetAsideFiles.h) a file that is oversized, not a regular file, or does not parse as an array. No call opens a
    // link or waits on a FIFO found at these paths.
    // Texts that are not valid UTF-8 are written with U+FFFD in place of each bad sequence, so one bad text
    // never keeps a queue from being saved. Returns whether the file was written.
    // A queue's two journal files (see QueueJournal.h): index 0 and 1.
    static constexpr int kJournalFiles = 2;
    std::filesystem::path offlineJournalPath(const std::string& queueName, int index = 0) const;
    bool saveOfflineJson(const nlohmann::json& events, const std::string& queueName);
    // What a queue's writer needs to know to go on from the files as they are.
    struct OfflineFileState {
        bool intact = false; // the queue file read (or is missing), and the journal that follows it whole
        std::uint64_t snapshotBytes = 0;
        std::string snapshotHash; // of the queue file's bytes
        int journal = -1;         // the journal file that follows the queue file, -1 when none does
        std::uint64_t journalBytes = 0;
        std::uint64_t journalGeneration = 0;
        std::uint64_t lastGeneration = 0; // the latest generation of either journal file
    };
    // `skippedRecords` (when given) is increased by the journal records that did not read.
    nlohmann::json loadOfflineJson(const std::string& queueName, std::size_t* skippedRecords = nullptr,
                                   OfflineFileState* state = nullptr);
    // Read, change and rewrite one queue file under the lock.
    void updateOfflineJson(const std::string& queueName, const std::function<void(nlohmann::json& events)>& change);
    // Deletes the queue file and its journals.
    void clearOfflineEvents(const std::string& queueName);

    // Typed forms: Event converts to and from nlohmann::json (its own queue-file form). Elements decode one by
    // one: one that does not decode is skipped and counted in `skipped` (when given).
    template <class Event> bool saveOfflineEvents(const std::vector<Event>& events, const std::string& queueName) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& event : events) {
            array.push_back(nlohmann::json(event));
        }
        return saveOfflineJson(array, queueName);
    }
    template <class Event>
    std::vector<Event> loadOfflineEvents(const std::string& queueName, std::size_t* skipped = nullptr) {
        return decodeEvents<Event>(loadOfflineJson(queueName), skipped);
    }
    template <class Event> static std::vector<Event> decodeEvents(const nlohmann::json& array, std::size_t* skipped) {
        std::vector<Event> events;
        events.reserve(array.size());
        for (const auto& element : array) {
            try {
                events.push_back(element.get<Event>());
            } catch (const std::exception&) {
                if (skipped != nullptr) {
                    ++*skipped;
                }
            }
        }
        return events;
    }

    // A writer for the marker file, to be made before it is needed (it resolves the path and reserves memory).
    CrashMarkerWriter makeCrashMarkerWriter() const;
    // Reads the marker and leaves it in place. A marker that cannot be read or decoded is renamed to
    // "corvantesk_crash_marker.json.bad" and gives nullopt, so it is not read again at every start.
    std::optional<CrashMarker> readCrashMarker();
    // Deletes the marker (once its event is safely queued).
    void removeCrashMarker();
    // readCrashMarker(), then removeCrashMarker() when there was one.
    std::optional<CrashMarker> consumeCrashMarker();
    bool hasCrashMarker() const;

    // Forgets the user's SDK state: session, consent and user id keys, then the whole folder. Keeps the device
    // id and the launch id.
    void clearAll();

    // Blocks until the settings changes made so far are on disk; false when `timeout` passed first.
    bool waitForWrites(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    Storage(); // the shared instance
    std::filesystem::path folder() const;
    std::filesystem::path ensureFolder() const;
    nlohmann::json loadOfflineJsonLocked(const std::string& queueName, std::size_t* skippedRecords,
                                         OfflineFileState* state);
    bool saveOfflineJsonLocked(const nlohmann::json& events, const std::string& queueName);
    void removeOfflineJournals(const std::string& queueName);
    std::optional<platform::AbsoluteTime> dateValue(const char* key) const;
    void setDateValue(const char* key, const std::optional<platform::AbsoluteTime>& date);
    // Changes the settings in memory now and has the writer thread put them on disk.
    void store(const platform::UserDefaults::Changes& changes);

    platform::UserDefaults* defaults_;
    std::optional<std::filesystem::path> directory_; // empty: the caches folder, resolved at each use
    mutable std::mutex mutex_;
    mutable std::mutex sweepMutex_; // guards sweptFolder_
    mutable std::filesystem::path sweptFolder_;
    mutable std::mutex deviceIdMutex_; // one device id, made without waiting for a queue file being written
    std::atomic<bool> writeQueued_{false};
    platform::OnDemandWorker writer_{"cvk-settings"}; // last: joined first, writing what still waits
};

} // namespace corvantesk
