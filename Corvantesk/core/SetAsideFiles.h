#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sys/stat.h>

namespace corvantesk {

// Files in the SDK's folder that it cannot use (a queue file that does not parse, a lock nobody can take, ...)
// are set aside as "<name>.bad" for someone to look at, and never read again: only their first
// kSetAsideHeadBytes, and only for a week.
inline constexpr std::uintmax_t kSetAsideHeadBytes = 1024 * 1024;
inline constexpr std::chrono::hours kSetAsideKeptFor{24 * 7};

// Renames `file` to "<file>.bad" (over an earlier one), cut to its head and dated now. With `expected` (what
// lstat() gave for it), only that very entry: should another have taken its place meanwhile, that one is put
// back and false returned. Any thread; false when nothing was set aside.
bool setAside(const std::filesystem::path& file, const struct stat* expected = nullptr);

// Removes the SDK's set-aside files in `folder` dated a week ago or more (and at once those that are not regular
// files: they hold nothing to look at), and cuts the others to their head. Folders are left alone.
void sweepSetAsideFiles(const std::filesystem::path& folder);

} // namespace corvantesk
