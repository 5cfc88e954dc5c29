#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillobrandt {

// Where an attachment's file is expected on this machine, from the file name the database stored
// (a device path such as "~/Library/Messages/Attachments/..." or "~/Library/SMS/Attachments/...").
// Tries the base folder (a copied Messages folder, a backup's extraction folder), then the home folder,
// else returns the stored name (tilde expanded). Only looks at the file system, never writes; the
// result may name a file that does not exist.
std::string resolveAttachmentPath(const std::string& storedName, const std::optional<std::filesystem::path>& base);

} // namespace quillobrandt
