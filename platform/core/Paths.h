#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Where the program keeps and finds things on Linux. Every function reads the environment
// at call time (tests point the XDG variables elsewhere) and never throws.
namespace platform {

// $HOME, else the password database's home, else "/".
std::filesystem::path homeDir();
// $XDG_CONFIG_HOME, default ~/.config.
std::filesystem::path configDir();
// $XDG_DATA_HOME, default ~/.local/share (the "Application Support" folder).
std::filesystem::path appSupportDir();
// $XDG_CACHE_HOME, default ~/.cache (the "Caches" folder).
std::filesystem::path cachesDir();
// The system temporary folder ($TMPDIR, else /tmp).
std::filesystem::path tempDir();

// The private per-user temporary folder "<temp>/quillobrandt-<uid>" (mode 0700). Created on demand;
// if that name exists but is not a real folder owned by this user, a fresh mkdtemp folder is used
// instead for the rest of the process. Returns an empty path only if nothing could be created.
std::filesystem::path privateTempDir();

// "~" and "~/x" expanded with homeDir(); anything else returned unchanged.
std::filesystem::path expandTilde(const std::string& path);

// Lexically cleaned absolute form (no ".", "..", or doubled separators). Does not touch the disk.
std::filesystem::path cleanAbsolute(const std::filesystem::path& path);

// True when `path` is `folder` itself or lies below it, comparing cleaned absolute paths by component.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder);

// The one rule for a file name that a database or a backup hands us (an attachment's stored name): true unless
// the name is empty, "~" alone, holds a NUL byte or has a ".." component. Such a name, joined to the folder it is
// looked up in (the home folder for "~/...", a copied Messages folder, an extraction folder), stays below that
// folder. Absolute names pass: real Mac databases store "/Users/<name>/Library/Messages/Attachments/...".
bool isConfinedFileName(std::string_view name);

// Creates the folder (and parents) and sets it to 0700. Returns false on failure.
bool createPrivateDirectory(const std::filesystem::path& folder);

} // namespace platform
