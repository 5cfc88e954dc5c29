#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/AbsoluteTime.h"

namespace platform {
class UserDefaults;
}

namespace quillobrandt {

// One extraction the user chose to keep under a name.
struct SavedExtraction {
    std::string id;              // random UUID
    std::string name;            // the name the user accepted
    std::filesystem::path path;  // the extracted "sms.db"
    platform::AbsoluteTime date; // the moment of saving

    bool operator==(const SavedExtraction&) const = default;
};

inline constexpr const char* kSavedExtractionsKey = "SavedExtractions";

// The stored form: a compact JSON array of {"name", "path", "date"} objects, "date" in seconds since
// 2001-01-01 UTC, every "/" written as "\/" (the form the saved value has always had).
std::string encodeSavedExtractions(const std::vector<SavedExtraction>& extractions);

// The entries of a stored value, each with a fresh id. A value that is not a JSON array gives none; an entry
// without a string "name", a string "path" and a numeric "date" is left out.
std::vector<SavedExtraction> decodeSavedExtractions(const std::string& text);

// Replaces the "SavedExtractions" value (bytes of the JSON text) with `extractions`.
void storeSavedExtractions(platform::UserDefaults& defaults, const std::vector<SavedExtraction>& extractions);

// Adds `extraction` after the entries already stored under "SavedExtractions" (a value that does not decode
// counts as none).
void appendSavedExtraction(platform::UserDefaults& defaults, const SavedExtraction& extraction);

} // namespace quillobrandt
