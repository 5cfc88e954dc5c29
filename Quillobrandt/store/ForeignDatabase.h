#pragma once

#include <filesystem>
#include <functional>

#include "platform/core/Sqlite.h"

namespace quillobrandt {

// Opens a database that someone else made (a user's, a phone's, or a copy of either) as every reader of one must:
// its views and triggers may call only harmless functions and no statement may change the file's structure behind
// SQLite's back, and no statement that would call a function one call of which runs for hours is prepared
// (platform::SqliteDatabase::distrustSchema); once `stop` returns true every running statement ends with
// SQLITE_INTERRUPT, so no query, however crafted, outlives it. `flags` as for
// platform::SqliteDatabase::open (a "file:" URI with SQLITE_OPEN_URI too); links are never followed. Throws
// platform::SqliteError.
platform::SqliteDatabase openForeignDatabase(const std::filesystem::path& file, int flags,
                                             std::function<bool()> stop = {});

} // namespace quillobrandt
