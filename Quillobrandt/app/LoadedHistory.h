#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/SerialWorker.h"

namespace quillobrandt {

// A loaded history, shared read-only by whoever shows it.
using History = std::shared_ptr<const std::vector<Conversation>>;

// Wraps `conversations`. When the last owner lets go, the loader thread destroys them (a million messages take
// a while to free, and their memory came from that thread) and hands the freed memory back to the system; once
// the loader has ended, the releasing thread destroys them itself.
History makeHistory(std::vector<Conversation> conversations, const platform::SerialWorker::Poster& loader);

// A result nobody will show (an overtaken or cancelled load) goes the same way.
void discardHistory(std::vector<Conversation> conversations, const platform::SerialWorker::Poster& loader);

// One load on the loader thread: a fresh DatabaseManager reads `file`, and stops once `pipeline` (the caller's
// cancel) or `loader` (the loader thread's end, when the program quits) is asked to. After a failure the memory
// the half-read history took is handed back to the system before the error passes on. Throws what openDatabase
// throws.
std::vector<Conversation> loadHistory(const std::filesystem::path& file,
                                      const std::optional<std::filesystem::path>& attachmentBase,
                                      const DatabaseProgress& progress, std::stop_token pipeline,
                                      std::stop_token loader);

} // namespace quillobrandt
