#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillobrandt {

// True when the file name's extension (after the last dot of its last component), lower-cased, is one of
// jpg, jpeg, png, gif, heic, heif, bmp, tiff, tif, webp, ico, svg.
bool isImageFileName(const std::string& name);

// `folder` / `relativePath`, or nullopt when the path could leave the folder: an empty, "." or ".." component,
// a NUL byte, or an absolute path. The text comes from a database inside someone's backup, so it is hostile.
std::optional<std::filesystem::path> attachmentDestination(const std::filesystem::path& folder,
                                                           const std::string& relativePath);

// Creates the missing folders from `folder` down to `target` (mode 0700), refusing to go through anything
// that is not a real folder (a symbolic link included). Throws std::filesystem::filesystem_error.
void createFoldersBelow(const std::filesystem::path& folder, const std::filesystem::path& target);

// Deletes a database file and its "-shm" and "-wal" companions, ignoring every failure.
void removeDatabaseFiles(const std::filesystem::path& database);

// The companions of a database file: its path with the extension replaced by "db-shm" / "db-wal".
std::filesystem::path databaseCompanion(const std::filesystem::path& database, const char* extension);

} // namespace quillobrandt
