#pragma once

#include <filesystem>

namespace quillobrandt {

// The path to hand to SQLite: the folder part resolved through any symlinks (many homes sit behind
// one), the file name kept as given so that no-follow still refuses a symlinked database file.
std::filesystem::path resolveDatabaseFolder(const std::filesystem::path& file);

// True only for the program's own working copies: a file inside the system temporary folder (which
// holds the private per-user temporary folder) or inside a "Quillobrandt_<UUID>" folder of the caches
// folder. Those are opened read-write; everything else, above all the user's own files, read-only.
// Compares resolved absolute paths component by component, never substrings.
bool isWorkingCopyLocation(const std::filesystem::path& resolvedFile);

} // namespace quillobrandt
