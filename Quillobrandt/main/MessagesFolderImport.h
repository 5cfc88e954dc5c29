#pragma once

#include <filesystem>
#include <functional>

namespace quillobrandt {

// Copying a picked Messages folder's database into a private working folder, so the load (which may
// fold a write-ahead log into the database) never changes the user's own files.
namespace messages_folder {

inline constexpr const char* databaseName = "chat.db";
inline constexpr const char* copyName = "temp_chat.db";

// Whether `folder` holds a "chat.db" file.
bool containsDatabase(const std::filesystem::path& folder);

// Removes stale copies of an earlier pick from `workFolder` (creating it when missing), then copies
// "chat.db" to "temp_chat.db" and, where they exist, "chat.db-wal" and "chat.db-shm" beside it, each
// readable by the owner only. Returns the copied database's path. The source is only read, and only once no other
// thread of this process reads that database where it lies (the copy's descriptors would drop the read's lock).
// Throws std::filesystem::filesystem_error, no partial copy left behind; DatabaseError::stopped once `stop` returns
// true while waiting for such a read.
std::filesystem::path copyDatabase(const std::filesystem::path& folder, const std::filesystem::path& workFolder,
                                   const std::function<bool()>& stop = {});

} // namespace messages_folder
} // namespace quillobrandt
