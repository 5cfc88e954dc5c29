#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

#include "Quillobrandt/app/FocusReturn.h"
#include "Quillobrandt/conversation/ConversationViewModel.h"
#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/store/Conversation.h"

class QAction;
class QCheckBox;
class QKeyEvent;
class QDateEdit;
class QLabel;
class QListView;
class QPushButton;
class QToolButton;

namespace quillobrandt {

class AppState;
class ButtonSpinner;
class GoogleAnalyticsManager;
class SymbolIcon;
class MessageRowDelegate;
class MessageRowModel;

// One opened conversation: header with title and source, toolbar or edit controls, the date filter,
// and the paged list of messages with its overlays. Owns every piece of state of the opening; nothing
// outlives it. GUI thread only.
// Its parts live beside it: ConversationDisplayViewHeader.cpp (title, source and toolbar),
// ...Filter.cpp (the filter row), ...Messages.cpp (the list, paging and jumps), ...Editing.cpp (edit mode
// and the saved copy) and ...Exports.cpp (CSV and PDF).
class ConversationDisplayView : public QWidget {
    Q_OBJECT
public:
    // Opens the PDF settings sheet over `parent` for the messages of `conversation` at `positions` (the
    // filtered list). Installed by the PDF export library (installPdfExportSheet()), which builds on this one.
    using PdfSheetFactory =
        std::function<QDialog*(std::shared_ptr<const Conversation> conversation, std::vector<std::uint32_t> positions,
                               AppState* appState, QWidget* parent)>;
    static void setPdfSheetFactory(PdfSheetFactory factory);

    // `analytics` receives "csv_export_completed"; the shared client when null. `appState` must outlive the view.
    // The view reads the loaded conversation in place and keeps it alive while open.
    ConversationDisplayView(std::shared_ptr<const Conversation> conversation, AppState* appState,
                            QWidget* parent = nullptr, GoogleAnalyticsManager* analytics = nullptr);
    // Opens a copy of `conversation`.
    ConversationDisplayView(const Conversation& conversation, AppState* appState, QWidget* parent = nullptr,
                            GoogleAnalyticsManager* analytics = nullptr);
    ~ConversationDisplayView() override;

    // Shows a new view in a window-modal sheet over `parent` (open(), never exec()). The sheet deletes
    // itself when closed; Escape does not close it, so unsaved edits are never dropped by a stray key.
    static QDialog* openAsSheet(std::shared_ptr<const Conversation> conversation, AppState* appState, QWidget* parent);
    static QDialog* openAsSheet(const Conversation& conversation, AppState* appState, QWidget* parent);

    const ConversationViewModel& model() const { return model_; }
    const MessageRowModel& rows() const { return *rows_; }
    QString participantNames() const;
    QString displayName(const QString& handle) const;
    ParticipantNamer namer() const;
    bool isLoading() const { return isLoading_; }
    bool isJumping() const { return isJumping_; }
    bool showsPositionBanner() const { return showPositionBanner_; }
    QString positionBannerMessage() const { return positionBannerMessage_; }
    bool isSaving() const { return saving_; }
    // A CSV export is being written (its button is busy meanwhile).
    bool isExportingCsv() const { return exportingCsv_; }
    // The database the conversation was loaded from, as it was when the view opened; saved copies are
    // made from it, never from whatever is loaded later.
    const std::optional<std::filesystem::path>& sourceDatabase() const { return source_; }

    // Actions (also reached through the controls).
    void closeConversation();
    void exportPDF();
    void editParticipantNames();
    void enterEditMode();
    void deleteMessage(const Message& message);
    // Takes a mark made in edit mode off again (the marked row's undo button).
    void restoreMessage(const Message& message);
    // Takes the latest mark still standing off again (Ctrl+Z in edit mode).
    void undoLatestMark();
    // Leaves edit mode, dropping the marks; while a copy is being saved, stops the save instead (editing goes on).
    void cancelEdit();
    void applyChanges();
    void presentSaveCopyPanel();
    void presentCSVPanel();
    void setShowMedia(bool value);
    void setEnableDateFilter(bool value);
    void setDateRange(QDate start, QDate end);
    void loadEarlierMessages();
    void loadNewerMessages();
    void jumpToOldest();
    void jumpToNewest();

    // For tests: blocks until a running save or CSV export has finished (its result still needs the event loop).
    bool waitForBackgroundWork(int timeoutMs = 30000);

    // Whether `target` is the source database (another name for it, or one of its companion files).
    bool targetIsSource(const std::filesystem::path& target) const;

signals:
    void closeRequested();
    // After a save ends: whether the copy was written.
    void editedCopySaveFinished(bool saved);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHeader();
    void buildFilterRow();
    void buildMessageArea();
    void refreshHeader();
    void refilter();
    void refreshList();
    void layoutOverlays();
    void showNewestWindow();
    void scrollToFirstDisplayedMessage();
    void keepFocusAcrossJump();
    void completeJump(bool oldest);
    void presentPositionBanner(bool oldest);
    void saveEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                        const std::unordered_set<std::int64_t>& ids);
    void finishSave(const std::filesystem::path& target, const std::unordered_set<std::int64_t>& ids,
                    const std::optional<std::string>& error, bool stopped);
    void showSaveFailure(const QString& reason);
    void finishCsvExport();
    void showMark(const Message& message);
    bool pressRowButton(const QKeyEvent& key);
    void makeAShownRowCurrent();

    AppState* appState_;
    GoogleAnalyticsManager* analytics_;
    ConversationViewModel model_;
    bool isLoading_ = true;
    bool isJumping_ = false;
    bool showPositionBanner_ = false;
    QString positionBannerMessage_;
    bool saving_ = false;
    bool exportingCsv_ = false;
    std::shared_ptr<std::atomic<bool>> stopSave_; // the running save's stop
    std::optional<std::filesystem::path> source_;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> sourceIdentity_; // device and inode

    QLabel* title_ = nullptr;
    SymbolIcon* sourceSymbol_ = nullptr;
    QLabel* sourceText_ = nullptr;
    QWidget* toolbar_ = nullptr;
    QWidget* editControls_ = nullptr;
    QCheckBox* showMediaBox_ = nullptr;
    QCheckBox* dateFilterBox_ = nullptr;
    QWidget* dateFields_ = nullptr;
    QDateEdit* startEdit_ = nullptr;
    QDateEdit* endEdit_ = nullptr;
    QWidget* messageArea_ = nullptr;
    QListView* list_ = nullptr;
    MessageRowModel* rows_ = nullptr;
    MessageRowDelegate* delegate_ = nullptr;
    QPushButton* loadEarlierButton_ = nullptr;
    QPushButton* loadNewerButton_ = nullptr;
    QLabel* loadingLabel_ = nullptr;
    QLabel* emptyRangeLabel_ = nullptr; // "No messages between …" when the date range holds none
    QWidget* jumpButtons_ = nullptr;
    QPointer<QWidget> jumpedFrom_; // the jump button the keyboard pressed, while its jump runs
    QLabel* jumpPanel_ = nullptr;
    QWidget* banner_ = nullptr;
    SymbolIcon* bannerSymbol_ = nullptr;
    QLabel* bannerText_ = nullptr;
    QList<QPushButton*> editButtons_;
    QPushButton* applyButton_ = nullptr;
    QPushButton* saveCopyButton_ = nullptr;
    QPushButton* csvButton_ = nullptr;
    ButtonSpinner* csvSpinner_ = nullptr;
    FocusReturn csvFocus_;  // Export CSV's keyboard, while its export runs
    FocusReturn saveFocus_; // Save Copy's, while the copy is written
    QWidget* savingIndicator_ = nullptr;
    QAction* undoMark_ = nullptr;
    std::unordered_set<std::string> reportedPictureFailures_; // "Failed to load image" once per picture
};

} // namespace quillobrandt
