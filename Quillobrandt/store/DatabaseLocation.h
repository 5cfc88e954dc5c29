#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillobrandt {

// True for 36 characters in the 8-4-4-4-12 pattern of hex digits (either case), as in "Quillobrandt_<UUID>".
bool isUuidText(const std::string& text);

// The path to hand to SQLite: the folder part resolved through any symlinks (many homes sit behind
// one), the file name kept as given so that no-follow still refuses a symlinked database file.
std::filesystem::path resolveDatabaseFolder(const std::filesystem::path& file);

// The file a user's database path names, every link followed (a symlinked database is read as the file it names,
// with the companions beside that file); otherwise as resolveDatabaseFolder.
std::filesystem::path resolveDatabaseFile(const std::filesystem::path& file);

// The sentence that says what lies at the database's path when it is neither a file (nor a link to one) nor
// nothing at all: "<path> is a folder, not a database file.", the same for a pipe (FIFO), a device, a socket and a
// link that leads nowhere. nullopt for a file, for a path where nothing is and for a link into a folder the user
// may not enter (opening says what to check). Only looks (lstat, stat): a pipe is never opened, so nothing waits
// for a writer that never comes.
std::optional<std::string> whyNotADatabaseFile(const std::filesystem::path& file);

// True only for the program's own working copies: a file inside the private per-user temporary folder
// (never merely the shared temporary folder) or inside a "Quillobrandt_<UUID>" folder of the caches
// folder. Those are opened read-write in place; everything else, above all the user's own files, is only
// read through a DatabaseSnapshot.
// Compares resolved absolute paths component by component, never substrings.
bool isWorkingCopyLocation(const std::filesystem::path& resolvedFile);

// The "Quillobrandt_<UUID>" extraction folder of the caches folder that `file` lies inside, if any: its
// database was extracted from a backup, with the pictures beside it.
std::optional<std::filesystem::path> extractionFolderContaining(const std::filesystem::path& file);

} // namespace quillobrandt
