#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Quillobrandt/app/LoadedHistory.h"
#include "Quillobrandt/store/Conversation.h"
#include "platform/qt/BackgroundWork.h"

namespace platform {
class NotificationHub;
}

namespace quillobrandt {

class AppState;
class GoogleAnalyticsManager;

// The menu's loading pipeline: the Mac's own database, a chosen file, and the shared core that reads on the
// state's loader thread and reports back on the GUI thread through "DatabaseLoadingStarted",
// "DatabaseLoadingCompleted", "ResizeWindow", the "database_loaded" events and, on failure, an alert. The source
// (databaseURL, attachmentBaseURL, isIPhoneBackup) is committed together with the conversations, on success
// only; a load overtaken by a newer one (of either pipeline) is dropped when it ends. Owned by the AppState whose
// load operations it carries out; its results arrive on the state's thread as the state's own events, and are
// dropped once the loader has gone. GUI thread only.
class MenuDatabaseLoader final {
public:
    using Path = std::filesystem::path;

    // `state`, `hub` and `analytics` must outlive the loader.
    MenuDatabaseLoader(AppState& state, platform::NotificationHub& hub, GoogleAnalyticsManager& analytics);
    MenuDatabaseLoader(const MenuDatabaseLoader&) = delete;
    MenuDatabaseLoader& operator=(const MenuDatabaseLoader&) = delete;

    // All return at once; the load finishes later.
    void loadDefaultDatabase();
    void loadCustomDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL);
    void loadDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL);

    // A running load stops before its next chat; its outcome is dropped.
    void requestStop() { stop_.request_stop(); }

private:
    void startLoad(const LoadedSource& source, const std::optional<Path>& readerAttachmentBase);
    void loadSucceeded(std::uint64_t ticket, const LoadedSource& source, std::vector<Conversation> conversations,
                       double elapsedSeconds);
    void loadFailed(std::uint64_t ticket, const std::string& description, bool stopped);
    void showPermissionRequiredAlert();
    void showMissingDefaultDatabaseAlert(const Path& path);

    AppState& state_;
    platform::NotificationHub& hub_;
    GoogleAnalyticsManager& analytics_;
    std::stop_source stop_;
    platform::BackgroundWork work_; // only its poster is used
};

} // namespace quillobrandt
