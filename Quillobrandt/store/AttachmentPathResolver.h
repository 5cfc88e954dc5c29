#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillobrandt {

// The attachment's place below the home folder of the device that wrote the database, from the name the database
// stored: a "~/" name without its tilde; an absolute name (older iPhones stored "/var/mobile/Library/SMS/...")
// from its "Library/Messages/Attachments/" or "Library/SMS/Attachments/" component on, for the device's home
// folder is not this machine's; a relative name as it stands. nullopt for "~" alone and for an absolute name
// outside those folders: it could name any file of this machine. The reader and the backup's image extraction
// both place attachments by it, so that an extracted file is found where the reader looks.
std::optional<std::string> attachmentDevicePath(std::string_view storedName);

// Where an attachment's file is expected on this machine, from the file name the database stored
// (a device path such as "~/Library/Messages/Attachments/..." or "~/Library/SMS/Attachments/...").
// Tries the base folder (a copied Messages folder, a backup's extraction folder), then, for a name in the Messages
// app's own folders (Library/Messages, Library/SMS), the home folder; else returns where it would lie: in the home
// folder for those names, in the base folder for any other (the stored name itself when there is no base). A name
// that could climb out of those folders (platform::isConfinedFileName), or an absolute one outside the
// attachment folders (attachmentDevicePath), resolves to an empty path, which names no file. Only looks at the
// file system, never writes; the result may name a file that does not exist.
//
// One resolver serves one load: it remembers folders found missing (a database whose attachments were
// not copied would otherwise cost three failed lookups per attachment) and collects its console
// diagnostics until takeDiagnostics(), so a chat's attachments are reported in one write.
class AttachmentPathResolver {
public:
    // The home folder is looked up here, once: resolving builds every candidate by plain concatenation.
    // `notePaths`: also note where each attachment was looked for and found (those lines name the user's files);
    // a refused name is noted either way.
    explicit AttachmentPathResolver(const std::optional<std::filesystem::path>& base, bool notePaths = true);

    std::string resolve(const std::string& storedName);
    // The diagnostic lines collected since the last call, newline-separated (empty when none).
    std::string takeDiagnostics();

private:
    bool exists(const std::string& path);
    void note(const std::string& line);
    void notePath(std::string_view what, std::string_view path); // only when notePaths_

    std::optional<std::string> base_; // without trailing slashes; "." for an empty (relative) one
    std::string home_;
    std::unordered_map<std::string, bool> folderExists_;
    std::string diagnostics_;
    bool notePaths_;
};

// A single resolution; the diagnostics go to the console at once (where it looked only with QB_VERBOSE).
std::string resolveAttachmentPath(const std::string& storedName, const std::optional<std::filesystem::path>& base);

} // namespace quillobrandt
