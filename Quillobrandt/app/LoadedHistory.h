#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <unordered_map>
#include <vector>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/SerialWorker.h"

namespace quillobrandt {

// A loaded history, shared read-only by whoever shows it.
using History = std::shared_ptr<const std::vector<Conversation>>;

// What a finished load commits along with its conversations.
struct LoadedSource {
    std::filesystem::path databaseURL;
    std::optional<std::filesystem::path> attachmentBaseURL;
    bool isIPhoneBackup = false;
};

// Wraps `conversations`. When the last owner lets go, the loader thread destroys them (a million messages take
// a while to free, and their memory came from that thread) and hands the freed memory back to the system; once
// the loader has ended, the releasing thread destroys them itself.
History makeHistory(std::vector<Conversation> conversations, const platform::SerialWorker::Poster& loader);

// The conversations opened from the history on show, each pinned on its own: once that history is replaced, an open
// window keeps its one conversation alive, not the whole history. GUI thread (the pins themselves may be let go on
// any thread).
class OpenedConversations {
public:
    // `conversation` (an element of `*history`) shared read-only; opening it again while it is open gives the same
    // pin. Null when `conversation` is not one of `*history`.
    std::shared_ptr<const Conversation> pin(const History& history, const Conversation* conversation);
    // `history` is no longer on show: every conversation of it that no pin holds is freed now (on `loader`, as a
    // whole history is), the pinned ones when their last holder lets go. Pins taken later belong to the next one.
    void retire(const History& history, const platform::SerialWorker::Poster& loader);

private:
    std::unordered_map<std::size_t, std::weak_ptr<const Conversation>> pins_; // by position in the history
};

// A result nobody will show (an overtaken or cancelled load) goes the same way.
void discardHistory(std::vector<Conversation> conversations, const platform::SerialWorker::Poster& loader);

// One load on the loader thread: a fresh DatabaseManager reads `file` (through a private snapshot, never where it
// lies, when `throughSnapshot`), and stops once `pipeline` (the caller's cancel) or `loader` (the loader thread's end,
// when the program quits) is asked to. After a failure the memory the half-read history took is handed back to the
// system before the error passes on. Throws what openDatabase throws.
std::vector<Conversation> loadHistory(const std::filesystem::path& file,
                                      const std::optional<std::filesystem::path>& attachmentBase,
                                      const DatabaseProgress& progress, std::stop_token pipeline,
                                      std::stop_token loader, bool throughSnapshot = false);

} // namespace quillobrandt
