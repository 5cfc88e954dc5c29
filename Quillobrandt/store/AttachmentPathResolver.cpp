#include "Quillobrandt/store/AttachmentPathResolver.h"

#include <string_view>
#include <system_error>
#include <utility>

#include "Quillobrandt/store/StoreLog.h"
#include "platform/core/Paths.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The folder with a relative, slash-separated path added (a leading slash adds no extra level).
std::string appendToFolder(const fs::path& folder, std::string_view relative) {
    std::string result = folder.string();
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    if (result != "/") {
        result += '/';
    }
    result += relative;
    return result;
}

bool existsOnDisk(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::path(path), error);
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

std::string tildeExpanded(const std::string& storedName) {
    return startsWith(storedName, "~") ? platform::expandTilde(storedName).string() : storedName;
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

std::string AttachmentPathResolver::takeDiagnostics() {
    return std::exchange(diagnostics_, {});
}

std::string resolveAttachmentPath(const std::string& storedName, const std::optional<fs::path>& base) {
    AttachmentPathResolver resolver(base);
    auto path = resolver.resolve(storedName);
    storeConsole(resolver.takeDiagnostics());
    return path;
}

std::string AttachmentPathResolver::resolve(const std::string& storedName) {
    const auto& base = base_;
    if (base) {
        std::string_view relative = storedName;
        if (startsWith(relative, "~/")) {
            relative.remove_prefix(2);
        }
        if (startsWith(relative, "Library/Messages/")) {
            relative.remove_prefix(std::string_view("Library/Messages/").size());
        }
        const auto inBase = appendToFolder(*base, relative);
        if (exists(inBase)) {
            note("  📎 Attachment found in base folder: " + inBase);
            return inBase;
        }
        note("  📎 Attachment not found at " + inBase);
        std::optional<std::string> withoutPrefix;
        for (const std::string_view prefix :
             {std::string_view("Library/SMS/Attachments/"), std::string_view("Attachments/")}) {
            if (startsWith(relative, prefix)) {
                withoutPrefix = appendToFolder(*base, relative.substr(prefix.size()));
                break;
            }
        }
        if (withoutPrefix && exists(*withoutPrefix)) {
            note("  📎 Attachment found in attachments folder: " + *withoutPrefix);
            return *withoutPrefix;
        }
    }
    if (startsWith(storedName, "~")) {
        const auto expanded = platform::expandTilde(storedName).string();
        if (exists(expanded)) {
            note("  📎 Attachment found in home folder: " + expanded);
            return expanded;
        }
    }
    const auto fallback = tildeExpanded(storedName);
    note("  📎 Attachment path fallback: " + fallback);
    return fallback;
}

} // namespace quillobrandt
