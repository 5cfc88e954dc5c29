#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <unordered_set>

#include "Quillobrandt/store/DatabaseSnapshot.h"

namespace quillobrandt {

// The edited copy would overwrite the database it is made from (or one of its companion files).
class EditedCopyError : public std::runtime_error {
public:
    EditedCopyError();
    const char* description() const noexcept { return what(); }
};

// Copies `source` to `target` with SQLite's backup API (so rows still in the source's "-wal" come
// along), deletes the given message rows in one transaction with secure_delete on, and vacuums.
// A source that is not a working copy is never opened: the copy is read from `snapshot` when it was
// taken of `source`, else from a fresh one. Any failure after the copy was started removes the
// incomplete target before the error is thrown; a failed vacuum is only logged.
void writeEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                     const std::unordered_set<std::int64_t>& messageIDs,
                     const std::shared_ptr<const DatabaseSnapshot>& snapshot = nullptr);

} // namespace quillobrandt
