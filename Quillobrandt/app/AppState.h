#pragma once

#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/app/AppTheme.h"
#include "Quillobrandt/store/Conversation.h"

namespace platform {
class NotificationHub;
}

namespace quillobrandt {

class GoogleAnalyticsManager;

// The one application state: onboarding flags, the loaded conversations and their source, participant
// labels, the message theme and the attachment folder's access. GUI thread only: every getter, setter and
// operation is called there, and background work hops back before touching it. Each published field has a
// `…Changed` signal, emitted after the value changed (and only when it did; setConversations always emits).
class AppState : public QObject {
    Q_OBJECT
public:
    using Path = std::filesystem::path;
    using Labels = std::map<std::string, std::string>;

    // Probes Full Disk Access and reads the Contacts status once, so the first screen knows both.
    // Notifications go to `hub` (the default centre when null), analytics to `analytics` (the shared
    // client when null); both must outlive the state.
    explicit AppState(platform::NotificationHub* hub = nullptr, GoogleAnalyticsManager* analytics = nullptr,
                      QObject* parent = nullptr);
    // Waits for background loads still running; their results are dropped.
    ~AppState() override;

    // Published fields.
    bool showSplash() const { return showSplash_; }
    void setShowSplash(bool value);
    bool hasFullDiskAccess() const { return hasFullDiskAccess_; }
    void setHasFullDiskAccess(bool value);
    bool hasContactsAccess() const { return hasContactsAccess_; }
    void setHasContactsAccess(bool value);
    bool showContactsRequest() const { return showContactsRequest_; }
    void setShowContactsRequest(bool value);
    const std::vector<Conversation>& conversations() const { return conversations_; }
    void setConversations(std::vector<Conversation> value);
    const std::optional<Path>& databaseURL() const { return databaseURL_; }
    void setDatabaseURL(std::optional<Path> value);
    const Labels& participantLabels() const { return participantLabels_; }
    void setParticipantLabels(Labels value);
    // Stores a non-empty label for `handle`; an empty label removes the entry.
    void setParticipantLabel(const std::string& handle, const std::string& label);
    AppTheme appTheme() const { return appTheme_; }
    void setAppTheme(AppTheme value);
    bool isIPhoneBackup() const { return isIPhoneBackup_; }
    void setIsIPhoneBackup(bool value);

    // Plain fields (no signal).
    const std::optional<Path>& attachmentFolderURL() const { return attachmentFolderURL_; }
    bool isAccessingAttachmentFolder() const { return isAccessingAttachmentFolder_; }
    const std::optional<Path>& attachmentBaseURL() const { return attachmentBaseURL_; }
    void setAttachmentBaseURL(std::optional<Path> value) { attachmentBaseURL_ = std::move(value); }

    // Ends the splash; with Full Disk Access already granted, decides the Contacts question first.
    void dismissSplash();

    // Menu loading. All return at once; the load runs on a private thread pool and reports through
    // "DatabaseLoadingStarted", "DatabaseLoadingCompleted", "ResizeWindow", the "database_loaded" events and,
    // on failure, a critical alert. The source (databaseURL, attachmentBaseURL, isIPhoneBackup) is committed
    // together with the conversations, on success only; a load overtaken by a newer one is dropped when it ends.
    void loadDefaultDatabase();
    void loadCustomDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL = std::nullopt);
    void loadDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL = std::nullopt);

    // Refreshes hasFullDiskAccess (PermissionManager) and hasContactsAccess (the store's status is authorised).
    void checkFullDiskAccess();
    // Sets showContactsRequest when the Contacts status is not determined; never clears it.
    void checkIfShouldRequestContacts();

    // Opens the folder's security scope, closing any open one first.
    void startAccessingAttachmentFolder(const Path& folder);
    void stopAccessingAttachmentFolder();

    // For tests: blocks until no background load is running (their results still need the event loop).
    bool waitForBackgroundLoads(int timeoutMs = 30000);

signals:
    void showSplashChanged(bool value);
    void hasFullDiskAccessChanged(bool value);
    void hasContactsAccessChanged(bool value);
    void showContactsRequestChanged(bool value);
    void conversationsChanged();
    void databaseURLChanged();
    void participantLabelsChanged();
    void appThemeChanged(quillobrandt::AppTheme value);
    void isIPhoneBackupChanged(bool value);

private:
    // What a load will commit along with its conversations.
    struct LoadSource {
        Path databaseURL;
        std::optional<Path> attachmentBase; // given to the reader
        std::optional<Path> storedAttachmentBaseURL;
        bool isIPhoneBackup = false;
    };

    void startLoad(LoadSource source);
    void loadSucceeded(std::uint64_t generation, const LoadSource& source, std::vector<Conversation> conversations,
                       double elapsedSeconds);
    void loadFailed(std::uint64_t generation, const std::string& description);
    void showPermissionRequiredAlert();
    void showMissingDefaultDatabaseAlert(const Path& path);

    platform::NotificationHub& hub_;
    GoogleAnalyticsManager& analytics_;

    bool showSplash_ = true;
    bool hasFullDiskAccess_ = false;
    bool hasContactsAccess_ = false;
    bool showContactsRequest_ = false;
    std::vector<Conversation> conversations_;
    std::optional<Path> databaseURL_;
    Labels participantLabels_;
    AppTheme appTheme_ = AppTheme::quillobrandt;
    bool isIPhoneBackup_ = false;
    std::optional<Path> attachmentFolderURL_;
    bool isAccessingAttachmentFolder_ = false;
    std::optional<Path> attachmentBaseURL_;

    std::uint64_t loadGeneration_ = 0;
    QThreadPool loadPool_; // last: destroyed (and waited for) first
};

} // namespace quillobrandt
