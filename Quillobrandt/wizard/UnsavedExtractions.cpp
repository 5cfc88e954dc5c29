#include "Quillobrandt/wizard/UnsavedExtractions.h"

#include <mutex>
#include <set>

#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "Quillobrandt/wizard/ExtractionPipeline.h"

namespace quillobrandt {
namespace {

struct Registry {
    std::mutex mutex;
    std::set<std::filesystem::path> folders;
};

Registry& registry() {
    static Registry* instance = new Registry; // never destroyed: worker threads may still report at exit
    return *instance;
}

} // namespace

void noteUnsavedExtraction(const std::filesystem::path& folder) {
    std::lock_guard lock(registry().mutex);
    registry().folders.insert(folder.lexically_normal());
}

void noteExtractionSaved(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::remove(folder / WorkingFilesLock::unsavedExtractionMarker, ignored);
    std::lock_guard lock(registry().mutex);
    registry().folders.erase(folder.lexically_normal());
}

void removeUnsavedExtractions() {
    std::set<std::filesystem::path> folders;
    {
        std::lock_guard lock(registry().mutex);
        folders.swap(registry().folders);
    }
    for (const auto& folder : folders) {
        removeExtractionFolder(folder);
        Logger::shared().log("🧹 Removed the unsaved extraction " + folder.string(), Logger::Level::info);
    }
}

} // namespace quillobrandt
