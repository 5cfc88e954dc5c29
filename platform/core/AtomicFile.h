#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Replaces `path` with `bytes` so that a reader (or the next start after a crash) sees either the
// old file or the new one, never a mix: write a temporary file beside it, fsync, rename, fsync the folder.
// `mode` is the new file's permission bits. Returns false (and leaves the old file) on any failure.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode = 0600);

// Reads a whole file, refusing files larger than `maxBytes`. nullopt when missing, unreadable or too large.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes = 256u * 1024 * 1024);

} // namespace platform
