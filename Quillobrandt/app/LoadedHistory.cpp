#include "Quillobrandt/app/LoadedHistory.h"

#include "platform/core/MemoryRelease.h"

namespace quillobrandt {
namespace {

using Owned = std::unique_ptr<const std::vector<Conversation>>;

void dispose(Owned conversations, const platform::SerialWorker::Poster& loader) {
    if (!conversations || conversations->empty() || !loader) {
        return; // nothing worth a trip: freed here
    }
    // std::function needs a copyable task; the box is its one owner. A refused task frees it on this thread.
    auto box = std::make_shared<Owned>(std::move(conversations));
    loader([box = std::move(box)](std::stop_token stop) {
        box->reset();
        if (!stop.stop_requested()) {
            platform::releaseFreeMemory();
        }
    });
}

} // namespace

History makeHistory(std::vector<Conversation> conversations, const platform::SerialWorker::Poster& loader) {
    return History(new const std::vector<Conversation>(std::move(conversations)),
                   [loader](const std::vector<Conversation>* history) { dispose(Owned(history), loader); });
}

std::vector<Conversation> loadHistory(const std::filesystem::path& file,
                                      const std::optional<std::filesystem::path>& attachmentBase,
                                      const DatabaseProgress& progress, std::stop_token pipeline,
                                      std::stop_token loader) {
    try {
        DatabaseManager manager;
        manager.setStopToken(std::move(pipeline));
        const std::stop_callback quitting(loader, [&manager] { manager.requestStop(); });
        return manager.openDatabase(file, attachmentBase, progress);
    } catch (...) {
        if (!loader.stop_requested()) {
            platform::releaseFreeMemory(); // the half-read history is gone with the manager
        }
        throw;
    }
}

void discardHistory(std::vector<Conversation> conversations, const platform::SerialWorker::Poster& loader) {
    dispose(std::make_unique<const std::vector<Conversation>>(std::move(conversations)), loader);
}

} // namespace quillobrandt
