#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/core/Plist.h"

namespace quillobrandt {

// What the reader takes from a `Files.file` record (a keyed archive of an MBFile).
struct FileRecord {
    std::optional<std::vector<std::uint8_t>> wrappedKey; // the wrapped file key, prefix dropped
    std::int64_t protectionClass = 0;
    std::optional<std::uint64_t> size; // "Size", when the record states one
};

// The "$objects" index a keyed-archive reference names; nullopt when the node is not a reference.
std::optional<std::uint64_t> uidIndex(platform::PlistNode reference);

// Parses a record blob. Throws BackupError invalidFileMetadata when it is not a keyed archive with a dictionary
// at its root (an empty blob included). Never trusts an index. Prints its diagnostic lines.
FileRecord parseFileMetadata(std::span<const std::uint8_t> blob);

} // namespace quillobrandt
