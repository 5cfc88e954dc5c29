#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "Quillobrandt/store/Conversation.h"

namespace quillobrandt {

// What the extraction worker reports. Every callback is called on the worker thread, or on the loader thread during
// the load while the worker waits for it; the wizard hops each one to the GUI thread itself, so they arrive there
// in calling order.
struct ExtractionReport {
    std::function<void(const std::string& message, double progress)> progress;
    // Shown `delayMs` later whatever the worker has reached by then.
    std::function<void(const std::string& message, double progress, int delayMs)> delayedProgress;
    // Whether the pictures are still unextracted (true until they are out), for the source to commit.
    std::function<void(bool value)> setIsIPhoneBackup;
    std::function<void(const std::string& description)> extractionFailed;
    std::function<void(const std::string& description)> loadFailed;
    // The one report of a success; the working folder is then the caller's to keep or remove.
    std::function<void(std::vector<Conversation> conversations, const std::filesystem::path& database)> loaded;
    // After the load, whatever its outcome (ends access to a user-chosen backup folder).
    std::function<void()> loadFinished;
    // Runs `load` on the application's loader thread and returns once it ran (or was refused: the loader has
    // ended). Unset, the load runs on the calling worker.
    std::function<void(const std::function<void(std::stop_token)>& load)> runLoad;
};

// The extraction folder for one run: cachesDir() / "Quillobrandt_<UUID>".
std::filesystem::path newExtractionFolder();

// Extracts the messages, the address book and the image attachments of the backup at `backupFolder` into a new
// folder made with mode 0700 below the caches folder (holding the unsaved marker of WorkingFilesLock), then loads the extracted "sms.db" (building the contact
// cache when Contacts access is granted). Blocks; call it on a worker. The password is only ever handed to the
// backup reader, never logged.
//
// On a failure the folder is removed before the failure is reported. Once `*stop` is true (set from any thread)
// the run ends at its next stopping point (after key derivation, between files, between pictures, within the
// load), removes the folder and reports nothing more.
void performExtraction(const std::filesystem::path& backupFolder, const std::string& password,
                       const ExtractionReport& report, const std::atomic<bool>* stop = nullptr);

// Removes a working folder made by performExtraction, whatever it holds. Never throws.
void removeExtractionFolder(const std::filesystem::path& folder);

} // namespace quillobrandt
