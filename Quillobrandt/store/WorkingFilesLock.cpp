#include "Quillobrandt/store/WorkingFilesLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <string>

#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "Quillobrandt/store/PartialFileNotes.h"
#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// "DecryptedManifest-<UUID>.db" (an encrypted backup's index) or "ManifestSnapshot-<UUID>.db" (a plain one's, copied
// with its write-ahead log), with any SQLite companion suffix.
bool isDecryptedIndexCopy(const std::string& name) {
    for (const std::string prefix : {"DecryptedManifest-", "ManifestSnapshot-"}) {
        if (!startsWith(name, prefix) || name.size() < prefix.size() + 36 + 3) {
            continue;
        }
        const std::string rest = name.substr(prefix.size() + 36);
        return isUuidText(name.substr(prefix.size(), 36)) &&
               (rest == ".db" || rest == ".db-wal" || rest == ".db-shm" || rest == ".db-journal");
    }
    return false;
}

// "Quillobrandt_<UUID>", the name of an extraction folder.
bool isExtractionFolderName(const std::string& name) {
    const std::string prefix = "Quillobrandt_";
    return startsWith(name, prefix) && isUuidText(name.substr(prefix.size()));
}

void removeEntry(const fs::directory_entry& entry) {
    std::error_code error;
    fs::remove_all(entry.path(), error); // a symlink is removed itself, never followed
    if (error) {
        storeLogError("⚠️ Could not remove leftover " + entry.path().string() + ": " + error.message());
    } else {
        storeLogInfo("🧹 Removed leftover " + entry.path().string());
    }
}

template <typename Predicate> void sweepFolder(const fs::path& folder, Predicate isLeftover) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (isLeftover(it->path().filename().string())) {
            removeEntry(*it);
        }
    }
}

} // namespace

WorkingFilesLock WorkingFilesLock::acquireAndSweep() {
    const fs::path privateFolder = platform::privateTempDir();
    if (privateFolder.empty()) {
        return WorkingFilesLock(platform::FileDescriptor());
    }
    const fs::path lockFile = privateFolder / "running.lock";
    platform::FileDescriptor fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return WorkingFilesLock(std::move(fd));
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        // No other copy is running: everything of the kind left here is a killed run's.
        sweepFolder(privateFolder,
                    [](const std::string& name) { return startsWith(name, DatabaseSnapshot::folderPrefix); });
        sweepFolder(platform::cachesDir(), [](const std::string& name) {
            return isDecryptedIndexCopy(name) || startsWith(name, DatabaseSnapshot::cachesFolderPrefix);
        });
        // A decrypted copy of a phone's messages nobody chose to keep (the run that made it ended before it could
        // remove it). A saved one has no marker and is never touched.
        const fs::path caches = platform::cachesDir();
        sweepFolder(caches, [&caches](const std::string& name) {
            std::error_code error;
            return isExtractionFolderName(name) &&
                   fs::exists(fs::symlink_status(caches / name / unsavedExtractionMarker, error));
        });
        // An edited copy a killed run was writing beside the user's chosen destination.
        removeNotedPartialFiles();
    }
    // Shared from here on, so later copies of the program see this one running.
    ::flock(fd.get(), LOCK_SH);
    return WorkingFilesLock(std::move(fd));
}

} // namespace quillobrandt
