#include "Quillobrandt/store/AttachmentPathResolver.h"

#include <string_view>
#include <utility>

#include <sys/stat.h>

#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

constexpr std::string_view kMessagesAttachments = "Library/Messages/Attachments/";
constexpr std::string_view kSmsAttachments = "Library/SMS/Attachments/";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A folder name as a prefix for plain concatenation: trailing slashes gone, except for the root itself; the
// current folder for an empty one (a database opened by a relative name), never the root.
std::string folderPrefix(std::string folder) {
    if (folder.empty()) {
        return ".";
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

// The folder with a relative, slash-separated path added (a leading slash adds no extra level).
std::string appendToFolder(const std::string& folder, std::string_view relative) {
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    std::string result;
    result.reserve(folder.size() + 1 + relative.size());
    result += folder;
    if (folder != "/") {
        result += '/';
    }
    result += relative;
    return result;
}

bool existsOnDisk(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The folder two levels above a path ("a/b/c/d" gives "a/b"); empty when there is none.
std::string_view grandparentOf(std::string_view path) {
    for (int level = 0; level < 2; ++level) {
        const auto slash = path.find_last_of('/');
        if (slash == std::string_view::npos || slash == 0) {
            return {};
        }
        path = path.substr(0, slash);
    }
    return path;
}

} // namespace

bool AttachmentPathResolver::exists(const std::string& path) {
    const std::string grandparent(grandparentOf(path));
    if (!grandparent.empty()) {
        if (const auto known = folderExists_.find(grandparent); known != folderExists_.end() && !known->second) {
            return false;
        }
    }
    if (existsOnDisk(path)) {
        return true;
    }
    if (!grandparent.empty() && folderExists_.count(grandparent) == 0) {
        folderExists_.emplace(grandparent, existsOnDisk(grandparent));
    }
    return false;
}

void AttachmentPathResolver::note(const std::string& line) {
    if (!diagnostics_.empty()) {
        diagnostics_ += '\n';
    }
    diagnostics_ += line;
}

void AttachmentPathResolver::notePath(std::string_view what, std::string_view path) {
    if (notePaths_) {
        note(std::string(what).append(path));
    }
}

std::string AttachmentPathResolver::takeDiagnostics() {
    return std::exchange(diagnostics_, {});
}

AttachmentPathResolver::AttachmentPathResolver(const std::optional<fs::path>& base, bool notePaths)
    : home_(folderPrefix(platform::homeDir().string())), notePaths_(notePaths) {
    if (base) {
        base_ = folderPrefix(base->string());
    }
}

std::optional<std::string> attachmentDevicePath(std::string_view storedName) {
    if (startsWith(storedName, "~/")) {
        return std::string(storedName.substr(2));
    }
    if (storedName == "~") {
        return std::nullopt;
    }
    if (!startsWith(storedName, "/")) {
        return std::string(storedName);
    }
    for (const std::string_view folder : {kMessagesAttachments, kSmsAttachments}) {
        for (auto at = storedName.find(folder); at != std::string_view::npos; at = storedName.find(folder, at + 1)) {
            if (storedName[at - 1] == '/') { // a whole component, not ".../MyLibrary/SMS/..."
                return std::string(storedName.substr(at));
            }
        }
    }
    return std::nullopt;
}

std::string resolveAttachmentPath(const std::string& storedName, const std::optional<fs::path>& base) {
    AttachmentPathResolver resolver(base, platform::consoleIsVerbose());
    auto path = resolver.resolve(storedName);
    storeConsole(resolver.takeDiagnostics());
    return path;
}

std::string AttachmentPathResolver::resolve(const std::string& storedName) {
    const auto devicePath = platform::isConfinedFileName(storedName) ? attachmentDevicePath(storedName) : std::nullopt;
    if (!devicePath) {
        note("  📎 Attachment name refused, it leads out of its folder: " + storedName);
        return {};
    }
    // Only the Messages app's own folders are looked for in the home folder: a database someone handed over must
    // not show the user's other files ("~/Pictures/...").
    const bool homeRelative = storedName.front() == '/' || storedName.front() == '~';
    const bool messagesFolder =
        homeRelative && (startsWith(*devicePath, "Library/Messages/") || startsWith(*devicePath, "Library/SMS/"));
    std::optional<std::string> inBase;
    if (base_) {
        std::string_view relative = *devicePath;
        if (startsWith(relative, "Library/Messages/")) {
            relative.remove_prefix(std::string_view("Library/Messages/").size());
        }
        inBase = appendToFolder(*base_, relative);
        if (exists(*inBase)) {
            notePath("  📎 Attachment found in base folder: ", *inBase);
            return *inBase;
        }
        notePath("  📎 Attachment not found at ", *inBase);
        std::optional<std::string> withoutPrefix;
        for (const std::string_view prefix :
             {std::string_view("Library/SMS/Attachments/"), std::string_view("Attachments/")}) {
            if (startsWith(relative, prefix)) {
                withoutPrefix = appendToFolder(*base_, relative.substr(prefix.size()));
                break;
            }
        }
        if (withoutPrefix && exists(*withoutPrefix)) {
            notePath("  📎 Attachment found in attachments folder: ", *withoutPrefix);
            return *withoutPrefix;
        }
    }
    if (messagesFolder) {
        const auto inHome = appendToFolder(home_, *devicePath);
        notePath(exists(inHome) ? "  📎 Attachment found in home folder: " : "  📎 Attachment path fallback: ", inHome);
        return inHome;
    }
    if (inBase || !homeRelative) {
        const std::string& fallback = inBase ? *inBase : storedName; // a relative name without a base folder
        notePath("  📎 Attachment path fallback: ", fallback);
        return fallback;
    }
    note("  📎 Attachment name refused, it names no folder of the Messages app: " + storedName);
    return {};
}

} // namespace quillobrandt
