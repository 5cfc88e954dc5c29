#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseManager.h"

namespace quillobrandt {

// A picked Messages folder: its "chat.db" is loaded from a private copy, with the folder as the attachment base.
namespace messages_folder {

inline constexpr const char* databaseName = "chat.db";

// Whether `folder` holds a "chat.db" file.
bool containsDatabase(const std::filesystem::path& folder);

// The folder's "chat.db".
std::filesystem::path databaseIn(const std::filesystem::path& folder);

// Loads the folder's database on the loader thread from a private snapshot, taken as every copy of a user's
// database is (DatabaseSnapshot: one committed state beside a writer, with its log's rows; checked; in the caches
// folder when the temporary folder is too small), never by copying its files one after the other. The folder is
// the attachment base, and is only read. Stops as loadHistory does; throws what DatabaseManager::openDatabase
// throws, beingChanged when the database kept changing while it was copied.
std::vector<Conversation> load(const std::filesystem::path& folder, const DatabaseProgress& progress,
                               std::stop_token pipeline = {}, std::stop_token loader = {});

} // namespace messages_folder
} // namespace quillobrandt
