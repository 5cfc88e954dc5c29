#pragma once

#include <filesystem>

namespace quillobrandt {

// A file the program writes in a folder the user chose, under a name of its own, until it is complete and takes
// the name the user asked for (the edited copy's ".<name>.<UUID>.partial"). A run killed meanwhile would leave it
// there for good, where nothing would ever look for it: so each one is noted first in a folder of the caches
// folder, and the next start removes what a note names (see WorkingFilesLock), provided it is still the file that
// was made (the same device and inode), with the side files SQLite made for it ("-journal", "-wal", "-shm").
// Files the program did not make are never touched. Any thread; one note per file.
class PartialFileNote {
public:
    // Notes `file`, then makes it, empty, with the mode a new file of the user's gets (never following a link,
    // never replacing anything). Throws std::system_error with the errno when it cannot be made; the note is then
    // removed again. A note that cannot be written does not keep the file from being made: it is logged.
    static PartialFileNote create(const std::filesystem::path& file);

    // Removes the note: the file is gone, or has taken its final name, by then.
    ~PartialFileNote();
    PartialFileNote(PartialFileNote&& other) noexcept;
    PartialFileNote& operator=(PartialFileNote&&) = delete;
    PartialFileNote(const PartialFileNote&) = delete;
    PartialFileNote& operator=(const PartialFileNote&) = delete;

    const std::filesystem::path& file() const { return file_; }

private:
    PartialFileNote(std::filesystem::path file, std::filesystem::path note);

    std::filesystem::path file_;
    std::filesystem::path note_; // empty when no note was written
};

// The folder of the notes: the caches folder's "Quillobrandt-partial-files".
std::filesystem::path partialFileNotesFolder();

// Removes every noted file that is still the one made, with its SQLite side files, then the notes; a note whose
// folder cannot be reached now (a drive not attached) stays for a later start. Only for a start that knows no other
// copy of the program runs (WorkingFilesLock): the notes of a running one are in use.
void removeNotedPartialFiles();

} // namespace quillobrandt
