// Edit mode: marking messages, applying or cancelling, and writing the edited copy.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <sys/stat.h>

#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/conversation/CsvExporter.h"
#include "Quillobrandt/conversation/EditedCopySaver.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/store/EditedCopyWriter.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {

// ---- edit mode and the save flow ----

void ConversationDisplayView::enterEditMode() {
    model_.enterEditMode();
    refreshHeader();
    refilter();
    // Entered from the keyboard, the focus is on the list (see refreshHeader), but the rows were rebuilt under
    // it: make the top row on screen current, as Tab into the list would, so the keys work on what is seen.
    if (list_->hasFocus() && !list_->currentIndex().isValid() && rows_->rowCount() > 0) {
        QModelIndex top = list_->indexAt(QPoint(list_->viewport()->width() / 2, 0));
        if (!top.isValid()) {
            top = list_->model()->index(0, 0);
        }
        list_->selectionModel()->setCurrentIndex(top, QItemSelectionModel::NoUpdate);
    }
}

void ConversationDisplayView::deleteMessage(const Message& message) {
    if (!model_.isEditMode()) {
        return;
    }
    // The marked message stays on screen, marked, until the edit is applied or cancelled.
    model_.deleteMessage(message);
    showMark(message);
}

void ConversationDisplayView::restoreMessage(const Message& message) {
    if (!model_.isEditMode()) {
        return;
    }
    model_.restoreMessage(message);
    showMark(message);
}

void ConversationDisplayView::undoLatestMark() {
    if (const auto id = model_.restoreLatestMark()) {
        rows_->setMarked(rows_->rowOf(*id), false);
        refreshHeader();
    }
}

void ConversationDisplayView::showMark(const Message& message) {
    rows_->setMarked(rows_->rowOf(message.id), model_.isMarkedDeleted(message.id));
    refreshHeader();
}

void ConversationDisplayView::cancelEdit() {
    if (saving_) {
        if (stopSave_ && !stopSave_->exchange(true)) {
            platform::consoleLine("🛑 Stopping the save of the edited copy");
        }
        return;
    }
    model_.cancelEdit();
    refreshHeader();
    refilter();
}

void ConversationDisplayView::applyChanges() {
    model_.applyChanges();
    refreshHeader();
    refilter();
}

void ConversationDisplayView::presentSaveCopyPanel() {
    if (saving_) {
        return;
    }
    if (!source_) {
        platform::consoleLine("❌ No database URL available");
        return;
    }
    const auto ids = model_.idsToDeleteInCopy();
    platform::SavePanelRequest request;
    request.title = QStringLiteral("Save edited database copy");
    request.suggestedName = editedCopyFileName(participantNames());
    request.nameFilters = {QStringLiteral("Database (*.db)")};
    request.defaultSuffix = QStringLiteral("db");
    request.acceptLabel = QStringLiteral("Save");
    const auto chosen = platform::panelPresenter()->chooseSaveLocation(request);
    if (!chosen) {
        return;
    }
    const std::filesystem::path target(chosen->toStdString());
    if (targetIsSource(target) || appState_->readDatabases().contains(target)) {
        // Replacing it would destroy the very database the copy is made from, or one the user went on from.
        platform::consoleLine("❌ Error saving edited copy: the target is a database this session read " +
                              target.string());
        showSaveFailure(QString::fromUtf8(EditedCopyError().description()));
        emit editedCopySaveFinished(false);
        return;
    }
    saveEditedCopy(*source_, target, ids);
}

bool ConversationDisplayView::targetIsSource(const std::filesystem::path& target) const {
    if (!source_) {
        return false;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path targetPath = fs::weakly_canonical(fs::absolute(target, error), error);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::error_code ignored;
        const fs::path sourceFile = fs::weakly_canonical(fs::absolute(source_->string() + suffix, ignored), ignored);
        if (!targetPath.empty() && targetPath == sourceFile) {
            return true;
        }
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        return false;
    }
    const auto identity = std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
    if (sourceIdentity_ && identity == *sourceIdentity_) {
        return true; // a hard link, or the same file under a moved folder
    }
    struct stat now {};
    return ::stat(source_->c_str(), &now) == 0 &&
           identity == std::make_pair(static_cast<std::uint64_t>(now.st_dev), static_cast<std::uint64_t>(now.st_ino));
}

void ConversationDisplayView::saveEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                                             const std::unordered_set<std::int64_t>& ids) {
    saving_ = true;
    saveFocus_.disableKeeping(*saveCopyButton_, [this] { refreshHeader(); });
    QPointer<ConversationDisplayView> self(this);
    stopSave_ = EditedCopySaver::forState(appState_)->start(
        source, target, ids, [self, target, ids](const std::optional<std::string>& error, bool stopped) {
            if (self) {
                self->finishSave(target, ids, error, stopped);
                return;
            }
            // The view was closed meanwhile: the save still ran to its end; say how it ended.
            const std::string line = stopped ? "🛑 Saving the edited copy was stopped"
                                     : error ? "❌ Error saving edited copy: " + *error
                                             : "✅ Saved edited copy to: " + target.string();
            platform::consoleLine(line);
            Logger::shared().log(line, error ? Logger::Level::error : Logger::Level::info);
        });
}

void ConversationDisplayView::showSaveFailure(const QString& reason) {
    platform::alertPresenter()->runModal(
        platform::criticalAlert(QStringLiteral("Failed to Save Copy"),
                                QStringLiteral("An error occurred while saving the edited database:\n\n") + reason));
}

void ConversationDisplayView::finishSave(const std::filesystem::path& target,
                                         const std::unordered_set<std::int64_t>& ids,
                                         const std::optional<std::string>& error, bool stopped) {
    saving_ = false;
    stopSave_.reset();
    refreshHeader();
    // Back on Save Copy before anything else: a saved copy ends edit mode, which hides the button and sends the
    // keyboard on from there to Edit Messages.
    saveFocus_.giveBack();
    if (stopped) {
        // Asked for by the user: nothing to report, and the marks wait to be saved again.
        platform::consoleLine("🛑 Saving the edited copy was stopped");
        emit editedCopySaveFinished(false);
        return;
    }
    if (error) {
        platform::consoleLine("❌ Error saving edited copy: " + *error);
        showSaveFailure(QString::fromStdString(*error));
        emit editedCopySaveFinished(false);
        return;
    }
    platform::consoleLine("✅ Saved edited copy to: " + target.string());
    // The saved deletions stay hidden: the header now names the copy, which no longer holds them.
    model_.finishSavedCopy(ids);
    refreshHeader();
    refilter();
    emit editedCopySaveFinished(true);
    if (source_) {
        appState_->rememberEditedCopy(*source_, target); // a backup's copy still lacks the backup's pictures
    }
    QPointer<AppState> state(appState_);
    const auto attachments = appState_->attachmentBaseURL();
    platform::runOnMainQueue(appState_, [state, target, attachments] {
        if (state) {
            state->loadCustomDatabase(target, attachments);
        }
    });
}

bool ConversationDisplayView::waitForBackgroundWork(int timeoutMs) {
    return EditedCopySaver::forState(appState_)->waitForDone(timeoutMs) &&
           CsvExporter::forState(appState_)->waitForDone(timeoutMs);
}

} // namespace quillobrandt
