#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <unordered_set>

namespace quillobrandt {

// The edited copy would overwrite the database it is made from (or one of its companion files).
class EditedCopyError : public std::runtime_error {
public:
    EditedCopyError();
    const char* description() const noexcept { return what(); }
};

// Copies `source` to `target` with SQLite's backup API (so rows still in the source's "-wal" come
// along), deletes the given message rows in one transaction with secure_delete on, and vacuums.
// The source is opened read-only and never changed. Any failure after the copy was started removes
// the incomplete target before the error is thrown; a failed vacuum is only logged.
void writeEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                     const std::unordered_set<std::int64_t>& messageIDs);

} // namespace quillobrandt
