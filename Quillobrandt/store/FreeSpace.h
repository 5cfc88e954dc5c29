#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace quillobrandt {

// Room kept free beyond what a copy is known to need: SQLite's journal and temporary files, the folder's entries.
inline constexpr std::uintmax_t kSpaceMargin = std::uintmax_t{8} << 20;

// The bytes an unprivileged writer may still write in the file system holding `folder`; 0 when it cannot be told.
std::uintmax_t freeSpace(const std::filesystem::path& folder);

// "There is not enough free space in "<folder>" <purpose>: it needs <N> MB, <M> MB are free." `needed` is the
// whole room asked for (margin included); `purpose` says for what ("to read the database").
std::string notEnoughSpaceText(const std::filesystem::path& folder, std::uintmax_t needed, const std::string& purpose);

// True for the file system's answers that mean it is full: no space, or the user's quota reached.
bool isOutOfSpace(int errorNumber);

} // namespace quillobrandt
