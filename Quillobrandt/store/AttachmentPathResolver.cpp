#include "Quillobrandt/store/AttachmentPathResolver.h"

#include <string_view>
#include <system_error>

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

bool exists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::path(path), error);
}

std::string tildeExpanded(const std::string& storedName) {
    return startsWith(storedName, "~") ? platform::expandTilde(storedName).string() : storedName;
}

} // namespace

std::string resolveAttachmentPath(const std::string& storedName, const std::optional<fs::path>& base) {
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
            storeConsole("  📎 Attachment found in base folder: " + inBase);
            return inBase;
        }
        storeConsole("  📎 Attachment not found at " + inBase);
        std::optional<std::string> withoutPrefix;
        for (const std::string_view prefix :
             {std::string_view("Library/SMS/Attachments/"), std::string_view("Attachments/")}) {
            if (startsWith(relative, prefix)) {
                withoutPrefix = appendToFolder(*base, relative.substr(prefix.size()));
                break;
            }
        }
        if (withoutPrefix && exists(*withoutPrefix)) {
            storeConsole("  📎 Attachment found in attachments folder: " + *withoutPrefix);
            return *withoutPrefix;
        }
    }
    if (startsWith(storedName, "~")) {
        const auto expanded = platform::expandTilde(storedName).string();
        if (exists(expanded)) {
            storeConsole("  📎 Attachment found in home folder: " + expanded);
            return expanded;
        }
    }
    const auto fallback = tildeExpanded(storedName);
    storeConsole("  📎 Attachment path fallback: " + fallback);
    return fallback;
}

} // namespace quillobrandt
