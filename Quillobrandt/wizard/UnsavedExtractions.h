#pragma once

#include <filesystem>

namespace quillobrandt {

// The extractions of this run whose conversations were handed over but which the user did not save. Each folder
// holds a decrypted copy of the phone's messages and is kept only while the program may still show it:
// removeUnsavedExtractions() takes them all away when the program ends (what a killed run leaves is removed at
// the next start, see WorkingFilesLock). Saving takes the folder's unsaved marker away. Any thread.
void noteUnsavedExtraction(const std::filesystem::path& folder);
void noteExtractionSaved(const std::filesystem::path& folder);
// Removes every folder noted unsaved and not saved since. Call once the windows and loads have ended.
void removeUnsavedExtractions();

} // namespace quillobrandt
