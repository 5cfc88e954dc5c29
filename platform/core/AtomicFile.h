#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Replaces `path` with `bytes` so that a reader (or the next start after a crash) sees either the
// old file or the new one, never a mix: write a temporary file beside it, fsync, rename, fsync the folder.
// `mode` is the new file's permission bits. Returns false (and leaves the old file) on any failure.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode = 0600);

// Deletes the temporary files writeFileAtomically() left in `folder` when a process ended during a write: those
// for targets whose names start with `targetPrefix`, last changed at least `minimumAge` ago (a younger one may
// belong to a write in progress in another process). Returns how many were removed; failures are ignored.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder, std::string_view targetPrefix,
                                   std::chrono::seconds minimumAge = std::chrono::seconds(60));

// Reads a whole file, refusing files larger than `maxBytes`. nullopt when missing, unreadable or too large.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes = 256u * 1024 * 1024);

} // namespace platform
