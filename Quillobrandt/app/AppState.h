#pragma once

#include <QObject>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/app/AppTheme.h"
#include "Quillobrandt/app/LoadedHistory.h"
#include "Quillobrandt/app/MenuDatabaseLoader.h"
#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/ReadDatabases.h"
#include "platform/core/SerialWorker.h"

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
    // Asks the loads to stop and joins the loader thread (a load stops within a few hundred messages); their
    // results are dropped.
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
    const std::vector<Conversation>& conversations() const { return *conversations_; }
    // The same list, shared read-only; when its last owner lets go, its memory goes back to the system. Once
    // replaced, only the conversations still open keep their contents.
    const History& history() const { return conversations_; }
    void setConversations(std::vector<Conversation> value);
    // `conversation` (one of conversations()) shared read-only and read in place, never copied. Once another
    // history replaces this one, the result keeps only its own conversation alive; the rest is freed then.
    // Null when `conversation` is not one of conversations().
    std::shared_ptr<const Conversation> sharedConversation(const Conversation* conversation) const;
    const std::optional<Path>& databaseURL() const { return databaseURL_; }
    void setDatabaseURL(std::optional<Path> value);
    // Every database this session has loaded (and the Messages database it may start from): an edited copy
    // replaces none of them.
    const ReadDatabases& readDatabases() const { return readDatabases_; }
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

    // The one thread every history is loaded on, by both pipelines and the backup wizard: loads queue behind each
    // other, and the memory of every history comes from (and goes back through) the same place.
    platform::SerialWorker& historyLoader() { return historyLoader_; }
    // A loaded list nobody will show (an overtaken load) is freed on the loader thread.
    void discardConversations(std::vector<Conversation> conversations);

    // Menu loading (MenuDatabaseLoader). All return at once; the load runs on the loader thread.
    void loadDefaultDatabase() { menuLoader_.loadDefaultDatabase(); }
    void loadCustomDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL = std::nullopt) {
        menuLoader_.loadCustomDatabase(file, attachmentBaseURL);
    }
    void loadDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL = std::nullopt) {
        menuLoader_.loadDatabase(file, attachmentBaseURL);
    }

    using LoadedSource = quillobrandt::LoadedSource;
    using LoadTicket = std::uint64_t;

    // The one generation counter of both loading pipelines (the menu's and the main window's). A load takes
    // a ticket when it starts; its result or failure counts only while its ticket is the newest, so the load
    // asked for last always wins, whichever pipeline ran it.
    LoadTicket beginLoad();
    bool isNewestLoad(LoadTicket ticket) const { return ticket == loadGeneration_; }
    // A menu load shows the "Loading database..." face ("DatabaseLoadingStarted", posted from the event loop).
    void raiseLoadingFace();
    // The load has reported back. When none is outstanding any more, a "Loading database..." face raised by
    // a menu load comes down ("DatabaseLoadingCompleted"); while any load runs it stays up.
    void endLoad();
    bool hasOutstandingLoads() const { return outstandingLoads_ > 0; }
    // Sets the list and its source together, so no observer sees one without the other.
    void commitLoad(const LoadedSource& source, std::vector<Conversation> conversations);

    // Save Copy wrote `copy` from `source`: for this session the copy counts as an iPhone backup exactly when its
    // source was loaded as one, whatever the copy is called (only a name with "sms.db" would say so otherwise).
    void rememberEditedCopy(const Path& source, const Path& copy);
    // What rememberEditedCopy() said of `file`; nullopt for a file that is no such copy.
    std::optional<bool> editedCopyIsIPhoneBackup(const Path& file) const;

    // Refreshes hasFullDiskAccess (PermissionManager) and hasContactsAccess (the store's status is authorised).
    void checkFullDiskAccess();
    // The Preferences answer to "Show contact names from the address book": stored with the contact store,
    // hasContactsAccess follows it, and the contact cache is emptied so names are matched afresh.
    void setContactsAllowed(bool allowed);
    // The contact cache has been built afresh (by whoever matched the contacts): says so to every view.
    void announceContactCacheBuilt();

    // Sets showContactsRequest when the Contacts status is not determined; never clears it.
    void checkIfShouldRequestContacts();

    // Opens the folder's security scope, closing any open one first.
    void startAccessingAttachmentFolder(const Path& folder);
    void stopAccessingAttachmentFolder();

    // For tests: blocks until the loader thread is idle (the results still need the event loop).
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
    // The contact cache was emptied; whoever shows names matches them again.
    void contactCacheReset();
    // The contact cache holds the address book's names again; whoever shows names shows them anew.
    void contactCacheBuilt();

private:
    platform::NotificationHub& hub_;
    GoogleAnalyticsManager& analytics_;

    bool showSplash_ = true;
    bool hasFullDiskAccess_ = false;
    bool hasContactsAccess_ = false;
    bool showContactsRequest_ = false;
    // Never null. Shared with opened conversations; never changed in place, only replaced (freed on the loader
    // thread once its last owner lets go).
    History conversations_ = std::make_shared<const std::vector<Conversation>>();
    mutable OpenedConversations opened_; // handed out from conversations_
    std::optional<Path> databaseURL_;
    ReadDatabases readDatabases_;
    Labels participantLabels_;
    AppTheme appTheme_ = AppTheme::quillobrandt;
    bool isIPhoneBackup_ = false;
    std::optional<Path> attachmentFolderURL_;
    bool isAccessingAttachmentFolder_ = false;
    std::optional<Path> attachmentBaseURL_;

    std::map<Path, bool> loadedAsIPhoneBackup_; // every committed source, by its absolute path
    std::map<Path, bool> editedCopies_;         // whether each Save Copy's file counts as a backup

    LoadTicket loadGeneration_ = 0;
    int outstandingLoads_ = 0;
    bool loadingFaceRaised_ = false;
    MenuDatabaseLoader menuLoader_{*this, hub_, analytics_};
    platform::SerialWorker historyLoader_{"HistoryLoader"}; // last: joined first
};

} // namespace quillobrandt
