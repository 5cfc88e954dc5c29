#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/qt/ContactStore.h"

class QObject;

namespace quillobrandt {

// The two privacy questions the program depends on, and the contact cache that turns phone numbers into
// names. Every member is static; the cache is one per process.
class PermissionManager {
public:
    PermissionManager() = delete;

    static constexpr const char* fullDiskAccessSettingsUrl =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles";

    // Whether the Messages database may be read. Where the platform keeps no Full Disk Access gate
    // (Linux) the answer is true without probing; elsewhere it is probeFullDiskAccess(). Caller's thread.
    static bool hasFullDiskAccess();

    // Tests the effect of Full Disk Access: $HOME/Library/Messages/chat.db exists, opens read-only without
    // following links, and "SELECT COUNT(*) FROM chat" prepares (never steps). Keeps nothing open.
    // Writes console diagnostics and info-level log lines. Caller's thread.
    static bool probeFullDiskAccess();
    static std::filesystem::path messagesDatabasePath();
    // Where a copy of a Mac's Messages folder goes so that messagesDatabasePath() finds it: "To read a Mac's
    // messages, copy its Messages folder (~/Library/Messages) to <home>/Library."
    static std::string messagesFolderCopyHint();

    // Logs and asks the desktop to open the Full Disk Access settings pane; the outcome is not looked at.
    static void openFullDiskAccessSettings();

    // GUI thread. Asks the contact store for access; `completion` runs exactly once on the GUI thread,
    // also when the store reports an error. With a `context`, the completion is dropped if the context has
    // been destroyed by the time the answer comes (a screen closed while the prompt was up).
    static void requestContactsAccess(std::function<void(bool granted)> completion, QObject* context = nullptr);

    // The contact store's authorisation status (any thread). Only `authorized` counts as access.
    static platform::ContactAuthorizationStatus contactsAuthorizationStatus();

    // Contact cache. Every call is thread-safe; buildContactCache and a first contactName may take long
    // and must not run on the GUI thread with a large address book.
    //
    // Fills the cache once per process when Contacts access is authorised; does nothing without access
    // or once built. A failed enumeration leaves the cache unbuilt, so the next use tries again.
    static void buildContactCache();
    // The display name of the contact owning `handle`'s number, or nullopt (no access, no key, no contact).
    // Builds the cache first when it is not built.
    static std::optional<std::string> contactName(const std::string& handle);
    // As contactName, but never builds: nullopt until the cache is built. For the GUI thread.
    static std::optional<std::string> cachedContactName(const std::string& handle);
    static std::size_t contactCacheCount();
    static bool isContactCacheBuilt();

    // The cache key of a phone number or handle: its Unicode decimal digits (any script), last ten of
    // them; nullopt with fewer than ten.
    static std::optional<std::string> contactKey(const std::string& text);
    // "Given Family", or the one that is non-empty; nullopt with neither.
    static std::optional<std::string> displayName(const platform::ContactRecord& contact);

    // Empties the cache and marks it unbuilt (the Contacts answer changed). Never waits for a running
    // build; that build is discarded when it ends.
    static void resetContactCache();
};

} // namespace quillobrandt
