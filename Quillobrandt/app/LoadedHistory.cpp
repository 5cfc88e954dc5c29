#include "Quillobrandt/app/LoadedHistory.h"

#include <functional>
#include <utility>

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
    // Not a const object: retire() empties the conversations nobody holds once the history is replaced.
    auto* list = new std::vector<Conversation>(std::move(conversations));
    return History(list, [loader](const std::vector<Conversation>* history) { dispose(Owned(history), loader); });
}

std::shared_ptr<const Conversation> OpenedConversations::pin(const History& history, const Conversation* conversation) {
    if (!history || conversation == nullptr || history->empty()) {
        return nullptr;
    }
    const std::less<const Conversation*> before; // a total order, also for pointers outside the history
    if (before(conversation, history->data()) || !before(conversation, history->data() + history->size())) {
        return nullptr;
    }
    std::erase_if(pins_, [](const auto& entry) { return entry.second.expired(); });
    const auto position = static_cast<std::size_t>(conversation - history->data());
    if (auto open = pins_[position].lock()) {
        return open;
    }
    // Its own count, so retire() can tell which conversations are open; holding the history keeps the element.
    std::shared_ptr<const Conversation> pinned(conversation, [history](const Conversation*) {});
    pins_[position] = pinned;
    return pinned;
}

void OpenedConversations::retire(const History& history, const platform::SerialWorker::Poster& loader) {
    std::erase_if(pins_, [](const auto& entry) { return entry.second.expired(); });
    if (!history || pins_.empty()) {
        pins_.clear();
        return; // none open: the history goes as a whole when the caller lets go
    }
    // Only the pins still reach into the history now (the list on show moves on to the next one), and each of them
    // only its own element: the others are moved out and freed. makeHistory() made the vector itself mutable.
    auto& list = const_cast<std::vector<Conversation>&>(*history);
    std::vector<Conversation> unused;
    unused.reserve(list.size() - std::min(list.size(), pins_.size()));
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!pins_.contains(i)) {
            unused.push_back(std::exchange(list[i], Conversation{}));
        }
    }
    pins_.clear();
    discardHistory(std::move(unused), loader);
}

std::vector<Conversation> loadHistory(const std::filesystem::path& file,
                                      const std::optional<std::filesystem::path>& attachmentBase,
                                      const DatabaseProgress& progress, std::stop_token pipeline,
                                      std::stop_token loader, bool throughSnapshot) {
    try {
        DatabaseManager manager;
        manager.setStopToken(std::move(pipeline));
        manager.setReadThroughSnapshot(throughSnapshot);
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
