#pragma once

#include <QWidget>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Quillobrandt/main/ConversationListLogic.h"
#include "Quillobrandt/main/MainViewState.h"
#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseError.h"
#include "platform/qt/BackgroundWork.h"

class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedWidget;

namespace quillobrandt {

class AppState;
class ConversationListModel;
class GoogleAnalyticsManager;
class LoadingOverlay;

// The main window's content: the start screen, the "Loading database..." face while the menu loads, the
// searchable conversation list, and the window's own loading pipeline with its overlay. GUI thread only.
//
// Opening a conversation emits conversationOpenRequested() with the loaded conversation shared, not copied
// (it stays whole if the list is emptied or replaced while open); the conversation window is shown by whoever
// listens, and calls conversationWindowClosed() when it goes. The backup wizard is asked for through the
// "ShowBackupWizard" notification; backupWizardRequested() tells the wizard's host, which calls
// setShowingBackupWizard(false) when the wizard closes.
class MainView : public QWidget {
    Q_OBJECT
public:
    // `appState` must outlive the view.
    explicit MainView(AppState* appState, QWidget* parent = nullptr);
    // Asks a running load to stop (it ends on the loader thread without waiting for it here) and waits for
    // background work only a moment; results still under way are dropped.
    ~MainView() override;

    // Start screen actions.
    void loadMacMessages();
    void loadIPhoneMessages();
    // Asks for a Messages folder with the panel presenter and imports it.
    void openMessagesFolder();
    // Imports a picked Messages folder through a private working copy; nullopt (cancelled) does nothing.
    void handleFolderSelection(const std::optional<std::filesystem::path>& folder);
    // Loads a database on the window's own pipeline. Ignored while one of its loads runs.
    void loadDatabase(const std::filesystem::path& file,
                      const std::optional<std::filesystem::path>& attachmentBase = std::nullopt);
    // Builds the contact cache off the GUI thread, showing "Matching contacts..." for at least a second.
    void startContactMatching();
    // Starts contact matching when the list has conversations, Contacts are allowed and the cache is not
    // built yet; runs whenever the list or the Contacts answer changes, whichever pipeline filled the list.
    void matchContactsIfNeeded();

    // Conversation list actions.
    void setSearchText(const QString& text);
    void setSelectedConversationID(const std::optional<std::string>& id);
    void displaySelectedConversation();
    void proceedWithLargeConversation();
    void cancelLargeConversation();
    void backToWelcome();
    void conversationWindowClosed() { showingConversationWindow_ = false; }
    void setShowingBackupWizard(bool showing);

    // State.
    MainFace face() const;
    const LoadingState& loadingState() const { return loading_; }
    bool isDatabaseLoading() const { return isDatabaseLoading_; }
    const QString& searchText() const { return searchText_; }
    const std::optional<std::string>& selectedConversationID() const { return selectedConversationID_; }
    // The selected conversation while the filtered list shows it; null otherwise.
    const Conversation* selectedConversation() const;
    std::vector<ConversationListEntry> filteredConversations() const;
    bool showingConversationWindow() const { return showingConversationWindow_; }
    bool showingBackupWizard() const { return showingBackupWizard_; }
    // The large conversation waiting for the user's answer, shared with the loaded history; null when none waits.
    const std::shared_ptr<const Conversation>& pendingLargeConversation() const { return pendingLargeConversation_; }
    // The naming the list uses now (labels, Contacts access, the contact cache once it is built).
    ParticipantNaming participantNaming() const;

    // The Google Analytics client for the events of this view; null restores the shared one.
    void setAnalyticsManager(GoogleAnalyticsManager* analytics);
    // For tests: blocks until no background work runs (its results still need the event loop).
    bool waitForBackgroundWork(int timeoutMs = 30000);

signals:
    void conversationOpenRequested(std::shared_ptr<const quillobrandt::Conversation> conversation);
    void backupWizardRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildLoadingDatabaseFace();
    QWidget* buildStartScreen();
    QWidget* buildConversationList();
    void refreshFace();
    void refreshList();
    void refreshLoading();
    void updateDisplayButton();
    void placeEmptyListText();

    // Loads `file`; a picked Messages folder's database (`folderImport`) from a private copy, the folder's access
    // let go again when it fails.
    void startLoad(const std::filesystem::path& file, const std::optional<std::filesystem::path>& attachmentBase,
                   bool folderImport);
    void reportLoadProgress(const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                            std::optional<double> subFraction);
    void handleLoadSuccess(std::uint64_t ticket, std::vector<Conversation> conversations,
                           const std::filesystem::path& file,
                           const std::optional<std::filesystem::path>& attachmentBase, bool didStartAccessing);
    void handleLoadFailure(std::uint64_t ticket, std::optional<DatabaseError::Code> code,
                           const std::string& description, const std::filesystem::path& file, bool didStartAccessing);
    void forgetReplacedSource(const std::filesystem::path& file);
    void finishContactMatching(std::chrono::milliseconds elapsed);
    void openConversation(std::shared_ptr<const Conversation> conversation, bool afterWarning);

    void showPermissionAlert();
    void showError(const QString& message);
    void presentLargeConversationAlert();

    AppState* appState_;
    GoogleAnalyticsManager* analytics_;

    std::optional<std::string> selectedConversationID_;
    bool showingPermissionAlert_ = false;
    bool showingError_ = false;
    QString errorMessage_;
    LoadingState loading_;
    bool showingConversationWindow_ = false;
    QString searchText_;
    bool showingBackupWizard_ = false;
    bool isDatabaseLoading_ = false;
    bool showingLargeConversationWarning_ = false;
    std::shared_ptr<const Conversation> pendingLargeConversation_;
    bool appearedOnce_ = false;
    bool focusSearchWhenListShows_ = false; // a load's list is on its way

    QStackedWidget* faces_ = nullptr;
    QWidget* loadingDatabaseFace_ = nullptr;
    QWidget* startScreen_ = nullptr;
    QWidget* listFace_ = nullptr;
    QLabel* emptyDatabaseNote_ = nullptr;
    QWidget* startProgress_ = nullptr;
    QLabel* startProgressText_ = nullptr;
    QLineEdit* searchField_ = nullptr;
    QListView* listView_ = nullptr;
    QLabel* emptyListLabel_ = nullptr; // over the list while it has no rows
    ConversationListModel* listModel_ = nullptr;
    QPushButton* displayButton_ = nullptr;
    LoadingOverlay* overlay_ = nullptr;
    bool refreshingList_ = false;
    bool rematchContacts_ = false;

    std::stop_source loadStop_;
    platform::BackgroundWork work_{this, 2, QStringLiteral("MainViewWork")}; // last: ended first
};

} // namespace quillobrandt
