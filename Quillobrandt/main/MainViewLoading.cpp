// The main window's own loading pipeline: the Mac's database, a picked Messages folder, progress, the
// contact cache, and the alerts that report how a load ended.
#include <QSizeF>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/LoadedHistory.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/main/MainAlerts.h"
#include "Quillobrandt/main/MainView.h"
#include "Quillobrandt/main/MessagesFolderImport.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/PrivacyGate.h"
#include "platform/qt/SecurityScope.h"

namespace quillobrandt {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

void logAndPrint(const std::string& line, Logger::Level level, const char* consolePrefix) {
    Logger::shared().log(line, level);
    platform::consoleLine(consolePrefix + line);
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

void MainView::loadMacMessages() {
    Logger::shared().log("📱 User clicked 'Load Messages from Mac'", Logger::Level::info);
    const fs::path file = PermissionManager::messagesDatabasePath();
    if (!appState_->hasFullDiskAccess()) {
        const std::string line = "❌ Cannot load default database - no Full Disk Access";
        Logger::shared().log(line, Logger::Level::error);
        platform::consoleLine(line);
        showPermissionAlert();
        return;
    }
    std::error_code ec;
    if (!platform::hasFullDiskAccessGate() && !fs::exists(file, ec)) {
        // Without a gate, a missing file is simply missing: say where we looked and what helps.
        logAndPrint("Database load failed: no file at " + file.string(), Logger::Level::error, "❌ ");
        // The same advice as the menu's, so nobody copies the folder into itself (~/Library/Messages/Messages).
        showError(QStringLiteral("No Messages database was found at %1.\n\n").arg(qs(file.string())) +
                  qs(PermissionManager::messagesFolderCopyHint()) +
                  QStringLiteral("\n\nOr use \"Open Messages Folder…\" to read a copied Messages folder from "
                                 "anywhere."));
        return;
    }
    loadDatabase(file);
}

void MainView::loadIPhoneMessages() {
    platform::NotificationHub::defaultCenter().post(platform::notification::showBackupWizard);
}

void MainView::openMessagesFolder() {
    platform::FolderPanelRequest request;
    request.title = QStringLiteral("Open Messages Folder");
    request.directory = qs(platform::homeDir().string());
    request.acceptLabel = QStringLiteral("Open");
    const auto chosen = platform::panelPresenter()->chooseFolder(request);
    if (chosen) {
        handleFolderSelection(fs::path(chosen->toStdString()));
    }
}

void MainView::handleFolderSelection(const std::optional<fs::path>& folder) {
    if (!folder || loading_.isLoading) {
        return; // one load at a time
    }
    platform::consoleLine("📁 Folder picker selected: " + folder->string());
    if (!messages_folder::containsDatabase(*folder)) {
        logAndPrint("chat.db not found in selected folder: " + folder->string(), Logger::Level::error, "❌ ");
        showError(QStringLiteral("Could not find chat.db in the selected folder. Please select the Messages folder."));
        return;
    }
    appState_->startAccessingAttachmentFolder(*folder);
    // A large database takes long to copy (far longer from a USB disk): the worker copies it into a private
    // snapshot, behind the overlay, and reads it in the same go.
    startLoad(messages_folder::databaseIn(*folder), *folder, true);
}

void MainView::loadDatabase(const fs::path& file, const std::optional<fs::path>& attachmentBase) {
    startLoad(file, attachmentBase, false);
}

void MainView::startLoad(const fs::path& file, const std::optional<fs::path>& attachmentBase, bool folderImport) {
    if (loading_.isLoading) {
        return; // one load at a time; the overlay covers the controls anyway
    }
    if (folderImport) {
        loading_.beginCopying();
    } else {
        loading_.begin();
    }
    refreshLoading();
    const std::uint64_t ticket = appState_->beginLoad();
    const bool didStartAccessing = platform::securityScope()->startAccessing(file);

    // Everything the worker sends back goes through the poster, which drops it once this view has gone.
    const auto post = work_.poster();
    const std::stop_token stop = loadStop_.get_token();
    appState_->historyLoader().post(
        [this, post, stop, ticket, file, attachmentBase, folderImport, didStartAccessing](std::stop_token quitting) {
            auto report = [this, post](const std::string& message, double fraction,
                                       const std::optional<std::string>& sub, std::optional<double> subFraction) {
                post([this, message, fraction, sub, subFraction] {
                    reportLoadProgress(message, fraction, sub, subFraction);
                });
            };
            const auto fail = [&](std::optional<DatabaseError::Code> code, const std::string& description) {
                post([this, ticket, code, description, file, folderImport, didStartAccessing] {
                    if (folderImport) {
                        appState_->stopAccessingAttachmentFolder(); // the folder's list never came
                    }
                    handleLoadFailure(ticket, code, description, file, didStartAccessing);
                });
            };
            std::vector<Conversation> conversations;
            try {
                conversations = folderImport ? messages_folder::load(*attachmentBase, report, stop, quitting)
                                             : loadHistory(file, attachmentBase, report, stop, quitting);
            } catch (const DatabaseError& error) {
                fail(error.code(), error.description());
                return;
            } catch (const std::exception& error) {
                fail(std::nullopt, error.what());
                return;
            }
            if (!stop.stop_requested() && !quitting.stop_requested() &&
                PermissionManager::contactsAuthorizationStatus() == platform::ContactAuthorizationStatus::authorized &&
                !PermissionManager::isContactCacheBuilt()) {
                post([this] {
                    loading_.preBuildingContacts();
                    refreshLoading();
                });
                platform::consoleLine("🔨 Pre-building contact cache on background thread...");
                PermissionManager::buildContactCache();
                platform::consoleLine("✅ Contact cache built");
            }
            auto shared = std::make_shared<std::vector<Conversation>>(std::move(conversations));
            post([this, ticket, shared, file, attachmentBase, didStartAccessing] {
                handleLoadSuccess(ticket, std::move(*shared), file, attachmentBase, didStartAccessing);
            });
        });
}

void MainView::reportLoadProgress(const std::string& message, double fraction,
                                  const std::optional<std::string>& subMessage, std::optional<double> subFraction) {
    loading_.report(message, fraction, subMessage, subFraction);
    refreshLoading();
}

void MainView::handleLoadSuccess(std::uint64_t ticket, std::vector<Conversation> conversations, const fs::path& file,
                                 const std::optional<fs::path>& attachmentBase, bool didStartAccessing) {
    if (didStartAccessing) {
        platform::securityScope()->stopAccessing(file);
    }
    loading_.finish();
    refreshLoading();
    if (!appState_->isNewestLoad(ticket)) {
        // A load asked for later (from the menu, say) decides what the list shows.
        platform::consoleLine("⏭️ Ignoring an overtaken load of " + file.string());
        appState_->discardConversations(std::move(conversations));
        appState_->endLoad();
        matchContactsIfNeeded();
        return;
    }
    const std::size_t count = conversations.size();
    // The source is recorded only with the conversations it produced, so an edited copy is never
    // written from a database other than the one on screen.
    appState_->commitLoad({file, attachmentBase, false}, std::move(conversations));
    appState_->endLoad();
    if (count > 0) {
        platform::NotificationHub::defaultCenter().post(platform::notification::resizeWindow,
                                                        platform::resizeWindowUserInfo(QSizeF(kConversationListSize)));
    }
    if (count > 0 && appState_->hasContactsAccess()) {
        startContactMatching();
        return;
    }
    platform::consoleLine(std::string("⏭️ Skipping contact matching (hasContactsAccess: ") +
                          (appState_->hasContactsAccess() ? "true" : "false") +
                          ", conversations: " + std::to_string(count) + ")");
    if (count == 0) {
        if (platform::hasFullDiskAccessGate()) {
            showPermissionAlert();
        } else {
            // Without a gate an empty result says nothing about permissions.
            showError(QStringLiteral("No conversations were found in this database."));
        }
    }
}

void MainView::handleLoadFailure(std::uint64_t ticket, std::optional<DatabaseError::Code> code,
                                 const std::string& description, const fs::path& file, bool didStartAccessing) {
    if (didStartAccessing) {
        platform::securityScope()->stopAccessing(file);
    }
    loading_.finish();
    refreshLoading();
    forgetReplacedSource(file);
    appState_->endLoad();
    if (code == DatabaseError::Code::stopped || !appState_->isNewestLoad(ticket)) {
        logAndPrint("Overtaken or stopped load ended: " + description, Logger::Level::info, "⏭️ ");
        matchContactsIfNeeded();
        return;
    }
    if (errorCallsForFullDiskAccess(code, platform::hasFullDiskAccessGate())) {
        logAndPrint("Database load failed - Full Disk Access required", Logger::Level::warning, "⚠️ ");
        showPermissionAlert();
        return;
    }
    logAndPrint("Database load failed: " + description, Logger::Level::error, "❌ ");
    showError(qs(description));
}

void MainView::forgetReplacedSource(const fs::path& file) {
    // The list on screen still comes from the earlier load, but that file now holds something else (a new
    // working copy) or nothing: an edited copy must never be written from it.
    if (appState_->databaseURL() == file) {
        platform::consoleLine("⚠️ Loaded database was replaced on disk; it can no longer be edited: " +
                              file.string());
        appState_->setDatabaseURL(std::nullopt);
    }
}

void MainView::matchContactsIfNeeded() {
    if (!appState_->conversations().empty() && appState_->hasContactsAccess()) {
        startContactMatching();
    }
}

void MainView::startContactMatching() {
    if (loading_.isMatchingContacts || loading_.isLoading || PermissionManager::isContactCacheBuilt()) {
        return;
    }
    platform::consoleLine("🔄 Starting contact matching...");
    loading_.isMatchingContacts = true; // set at once, so a second call cannot start a second build
    refreshLoading();
    const auto post = work_.poster();
    work_.start([this, post] {
        const auto start = Clock::now();
        PermissionManager::buildContactCache();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(elapsed.count()) / 1000.0);
        platform::consoleLine(std::string("✅ Contact cache ready (") + seconds + "s, " +
                              std::to_string(PermissionManager::contactCacheCount()) + " contacts)");
        post([this, elapsed] { finishContactMatching(elapsed); });
    });
}

void MainView::finishContactMatching(std::chrono::milliseconds elapsed) {
    // The padding is a timer, not a sleeping worker, so closing the window never waits for it.
    platform::runOnMainQueueAfter(remainingMatchingPadding(elapsed), this, [this] {
        loading_.isMatchingContacts = false;
        refreshLoading();
        refreshList();                          // names from the freshly built cache
        appState_->announceContactCacheBuilt(); // and an open conversation's
        if (rematchContacts_) {
            rematchContacts_ = false;
            matchContactsIfNeeded();
        }
    });
}

void MainView::showPermissionAlert() {
    showingPermissionAlert_ = true;
    platform::runOnMainQueue(this, [this] {
        const int answer = platform::alertPresenter()->runModal(main_alerts::fullDiskAccess());
        showingPermissionAlert_ = false;
        if (answer == main_alerts::kPrimaryButton) {
            PermissionManager::openFullDiskAccessSettings();
        }
    });
}

void MainView::showError(const QString& message) {
    errorMessage_ = message;
    showingError_ = true;
    platform::runOnMainQueue(this, [this, message] {
        platform::alertPresenter()->runModal(main_alerts::error(message));
        showingError_ = false;
    });
}

} // namespace quillobrandt
