#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Quillobrandt/store/ValueHasher.h"

namespace quillobrandt {

// One file attached to a message.
struct Attachment {
    std::int64_t id = 0;                   // row id in the `attachment` table
    std::string filename{};                // last path component of the stored file name
    std::optional<std::string> mimeType{}; // as stored
    std::string filePath{};                // where the file is expected locally; it may not exist

    // A present MIME type decides alone ("image/" prefix, case-sensitive); without one, the file
    // name's extension, lower-cased, must be one of jpg, jpeg, png, gif, heic, heif.
    bool isImage() const;

    bool operator==(const Attachment&) const = default;
};

} // namespace quillobrandt

template <> struct std::hash<quillobrandt::Attachment> {
    std::size_t operator()(const quillobrandt::Attachment& a) const {
        return quillobrandt::ValueHasher{}.add(a.id).add(a.filename).add(a.mimeType).add(a.filePath).result();
    }
};
