#include "Quillobrandt/store/PartialFileNotes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

constexpr const char* kNoteSuffix = ".note";
constexpr const char* kPartialSuffix = ".partial";
constexpr const char* kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
};

// "<device> <inode>" (or "- -" before the file is made), a line feed, the file's path.
std::string noteText(const fs::path& file, const std::optional<Identity>& identity) {
    const std::string head =
        identity ? std::to_string(identity->device) + " " + std::to_string(identity->inode) : "- -";
    return head + "\n" + file.string();
}

struct Note {
    fs::path file;
    std::optional<Identity> identity;
};

std::optional<Note> parseNote(const std::string& text) {
    const auto lineEnd = text.find('\n');
    if (lineEnd == std::string::npos) {
        return std::nullopt;
    }
    const std::string head = text.substr(0, lineEnd);
    Note note{fs::path(text.substr(lineEnd + 1)), std::nullopt};
    if (head != "- -") {
        const auto space = head.find(' ');
        if (space == std::string::npos) {
            return std::nullopt;
        }
        try {
            const auto device = std::stoull(head.substr(0, space));
            const auto inode = std::stoull(head.substr(space + 1));
            note.identity = Identity{static_cast<dev_t>(device), static_cast<ino_t>(inode)};
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return note;
}

// Only our own kind of name: ".<name>.<anything>.partial" in an absolute folder.
bool isPartialFileName(const fs::path& file) {
    const std::string name = file.filename().string();
    return file.is_absolute() && name.size() > 1 && name.front() == '.' && name.ends_with(kPartialSuffix);
}

// A regular file of this user's (never a link, a folder or a device), with `matches` true for it.
template <typename Matches> bool removeOwnFile(const fs::path& file, Matches matches) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() || !matches(st)) {
        return false;
    }
    if (::unlink(file.c_str()) != 0) {
        storeLogError("⚠️ Could not remove the unfinished copy " + file.string() + ": " + std::strerror(errno));
        return false;
    }
    storeLogInfo("🧹 Removed the unfinished copy " + file.string());
    return true;
}

// Removes what the note names. False when its folder cannot be reached now (a drive not attached): the note waits
// for a later start.
bool removeNotedFile(const Note& note) {
    if (!isPartialFileName(note.file)) {
        return true;
    }
    struct stat folder {};
    if (::stat(note.file.parent_path().c_str(), &folder) != 0 && errno == ENOENT) {
        return false;
    }
    // The file as it was made: the noted one, or (killed before the note learnt its identity) still empty.
    removeOwnFile(note.file, [&note](const struct stat& st) {
        return note.identity ? st.st_dev == note.identity->device && st.st_ino == note.identity->inode
                             : st.st_size == 0;
    });
    struct stat st {};
    if (::lstat(note.file.c_str(), &st) == 0) {
        return true; // another file took the name: what lies beside it may be its own
    }
    for (const char* suffix : kSideFileSuffixes) {
        removeOwnFile(note.file.string() + suffix, [](const struct stat&) { return true; });
    }
    return true;
}

} // namespace

fs::path partialFileNotesFolder() {
    return platform::cachesDir() / "Quillobrandt-partial-files";
}

PartialFileNote::PartialFileNote(fs::path file, fs::path note) : file_(std::move(file)), note_(std::move(note)) {}

PartialFileNote::PartialFileNote(PartialFileNote&& other) noexcept
    : file_(std::move(other.file_)), note_(std::exchange(other.note_, fs::path())) {}

PartialFileNote::~PartialFileNote() {
    if (!note_.empty()) {
        std::error_code ignored;
        fs::remove(note_, ignored);
    }
}

PartialFileNote PartialFileNote::create(const fs::path& file) {
    const fs::path absolute = platform::cleanAbsolute(file);
    fs::path note;
    if (platform::createPrivateDirectory(partialFileNotesFolder())) {
        note = partialFileNotesFolder() / (platform::makeUuidString() + kNoteSuffix);
        if (!platform::writeFileAtomically(note, noteText(absolute, std::nullopt))) {
            note.clear();
        }
    }
    if (note.empty()) {
        storeLogError("⚠️ Could not note the unfinished copy " + absolute.string() + " in " +
                      partialFileNotesFolder().string());
    }
    PartialFileNote made(absolute, note);
    const platform::FileDescriptor fd(
        ::open(absolute.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        throw std::system_error(errno, std::generic_category(), absolute.string());
    }
    struct stat st {};
    if (!note.empty() && ::fstat(fd.get(), &st) == 0) {
        platform::writeFileAtomically(note, noteText(absolute, Identity{st.st_dev, st.st_ino}));
    }
    return made;
}

void removeNotedPartialFiles() {
    const fs::path folder = partialFileNotesFolder();
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    // Nothing else in the folder is of use any more: the notes done with, what a killed write of one left.
    for (const auto& entry : entries) {
        if (entry.extension() == kNoteSuffix) {
            const auto text = platform::readFile(entry, 64 * 1024);
            const auto note = text ? parseNote(*text) : std::nullopt;
            if (note && !removeNotedFile(*note)) {
                continue;
            }
        }
        std::error_code ignored;
        fs::remove_all(entry, ignored);
    }
}

} // namespace quillobrandt
