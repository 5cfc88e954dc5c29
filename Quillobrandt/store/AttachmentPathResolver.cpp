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

// "~" and "~/..." name the home folder; any other name beginning with a tilde is taken as it is.
std::optional<std::string> AttachmentPathResolver::tildeExpanded(const std::string& storedName) const {
    if (storedName == "~") {
        return home_;
    }
    if (startsWith(storedName, "~/")) {
        return appendToFolder(home_, std::string_view(storedName).substr(2));
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
    if (!platform::isConfinedFileName(storedName)) {
        note("  📎 Attachment name refused, it leads out of its folder: " + storedName);
        return {};
    }
    if (base_) {
        std::string_view relative = storedName;
        if (startsWith(relative, "~/")) {
            relative.remove_prefix(2);
        }
        if (startsWith(relative, "Library/Messages/")) {
            relative.remove_prefix(std::string_view("Library/Messages/").size());
        }
        const auto inBase = appendToFolder(*base_, relative);
        if (exists(inBase)) {
            notePath("  📎 Attachment found in base folder: ", inBase);
            return inBase;
        }
        notePath("  📎 Attachment not found at ", inBase);
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
    const auto expanded = tildeExpanded(storedName);
    if (expanded) {
        if (exists(*expanded)) {
            notePath("  📎 Attachment found in home folder: ", *expanded);
            return *expanded;
        }
    }
    const std::string& fallback = expanded ? *expanded : storedName;
    notePath("  📎 Attachment path fallback: ", fallback);
    return fallback;
}

} // namespace quillobrandt
