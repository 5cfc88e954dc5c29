#include "Quillobrandt/app/MenuDatabaseLoader.h"

#include <QSizeF>
#include <QString>

#include <chrono>
#include <memory>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/DatabaseLoadStatistics.h"
#include "Quillobrandt/app/DatabaseLoadedEvent.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/LoadProgressLog.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {
namespace {

using Clock = std::chrono::steady_clock;

const QSizeF kLoadedWindowSize(810, 690);

void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

void logError(const std::string& line) {
    Logger::shared().log(line, Logger::Level::error);
    platform::consoleLine(line);
}

const char* flagText(bool flag) {
    return flag ? "true" : "false";
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

MenuDatabaseLoader::MenuDatabaseLoader(AppState& state, platform::NotificationHub& hub,
                                       GoogleAnalyticsManager& analytics)
    : state_(state), hub_(hub), analytics_(analytics), work_(&state, 1, QStringLiteral("DatabaseLoading")) {}

void MenuDatabaseLoader::loadDefaultDatabase() {
    logInfo("📱 Loading default Messages database");
    const Path file = PermissionManager::messagesDatabasePath();
    logInfo("   Default path: " + file.string());
    if (!state_.hasFullDiskAccess()) {
        logError("❌ Cannot load default database - no Full Disk Access");
        platform::runOnMainQueue(&state_, [this] { showPermissionRequiredAlert(); });
        return;
    }
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        // Without a gate nothing else would tell the user where the program looked.
        logError("❌ Cannot load default database - no file at " + file.string());
        platform::runOnMainQueue(&state_, [this, file] { showMissingDefaultDatabaseAlert(file); });
        return;
    }
    startLoad({file, state_.attachmentBaseURL(), false}, std::nullopt);
}

void MenuDatabaseLoader::loadCustomDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL) {
    logInfo("📂 Loading custom database from: " + file.string());
    const bool backup = state_.editedCopyIsIPhoneBackup(file).value_or(looksLikeIPhoneBackup(file));
    Path base;
    if (attachmentBaseURL) {
        base = *attachmentBaseURL;
        logInfo("   Using provided attachment base: " + base.string());
    } else {
        // An extraction's pictures lie in its folder, wherever in it the database was picked.
        base = extractionFolderContaining(file).value_or(file.parent_path());
        logInfo("   Using default attachment base: " + base.string());
    }
    logInfo(std::string("   iPhone backup: ") + flagText(backup));
    startLoad({file, base, backup}, base);
}

void MenuDatabaseLoader::loadDatabase(const Path& file, const std::optional<Path>& attachmentBaseURL) {
    startLoad({file, state_.attachmentBaseURL(), state_.isIPhoneBackup()}, attachmentBaseURL);
}

void MenuDatabaseLoader::startLoad(const LoadedSource& source, const std::optional<Path>& readerAttachmentBase) {
    logInfo("📊 Loading database from: " + source.databaseURL.string());
    if (state_.showContactsRequest()) {
        // The list must not load out of sight behind the first-start question: it is left for the next start.
        logInfo("⏭️ Contacts question left for the next start: a database was opened from the menu");
        state_.setShowContactsRequest(false);
    }
    const AppState::LoadTicket ticket = state_.beginLoad();
    state_.raiseLoadingFace();
    const auto startTime = Clock::now();

    // The loader thread reaches this pipeline only through the poster, which drops whatever arrives after it has
    // gone; the stop token ends the reader early when the program's end asks.
    const auto post = work_.poster();
    const std::stop_token stop = stop_.get_token();
    state_.historyLoader().post(
        [this, post, stop, ticket, source, readerAttachmentBase, startTime](std::stop_token quitting) {
            // Logged here, on the loader: the log's writer takes the line, and the GUI thread never sees it.
            const auto progressLog = std::make_shared<LoadProgressLog>();
            const auto progress = [progressLog](const std::string& message, double fraction,
                                                const std::optional<std::string>&, std::optional<double>) {
                if (const auto line = progressLog->lineFor(message, fraction)) {
                    logInfo(*line);
                }
            };
            try {
                auto loaded = std::make_shared<std::vector<Conversation>>(
                    loadHistory(source.databaseURL, readerAttachmentBase, progress, stop, quitting));
                post([this, ticket, source, loaded, startTime] {
                    const auto elapsed = std::chrono::duration<double>(Clock::now() - startTime).count();
                    loadSucceeded(ticket, source, std::move(*loaded), elapsed);
                });
            } catch (const DatabaseError& error) {
                const std::string description = error.description();
                const bool stopped = error == DatabaseError::stopped();
                post([this, ticket, description, stopped] { loadFailed(ticket, description, stopped); });
            } catch (const std::exception& error) {
                const std::string description = error.what();
                post([this, ticket, description] { loadFailed(ticket, description, false); });
            }
        });
}

void MenuDatabaseLoader::loadSucceeded(std::uint64_t ticket, const LoadedSource& source,
                                       std::vector<Conversation> conversations, double elapsedSeconds) {
    if (!state_.isNewestLoad(ticket)) {
        logInfo("⏭️ Ignoring an overtaken load of " + source.databaseURL.string());
        state_.discardConversations(std::move(conversations));
        state_.endLoad();
        return;
    }
    state_.commitLoad(source, std::move(conversations));

    logInfo("✅ Loaded " + std::to_string(state_.conversations().size()) + " conversations");
    const auto loadTimeMs = static_cast<std::int64_t>(elapsedSeconds * 1000.0);
    const DatabaseLoadStatistics stats = computeLoadStatistics(state_.conversations());
    recordDatabaseLoaded(analytics_, stats, loadTimeMs,
                         databaseLoadSource(state_.isIPhoneBackup(), source.databaseURL));
    state_.endLoad();
    if (!state_.conversations().empty()) { // nothing to list: the start screen stays as it is, and says so
        hub_.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(kLoadedWindowSize));
    }
}

void MenuDatabaseLoader::loadFailed(std::uint64_t ticket, const std::string& description, bool stopped) {
    logInfo("❌ Failed to load database: " + description);
    state_.endLoad();
    if (stopped || !state_.isNewestLoad(ticket)) {
        return; // a newer load is running, or the program is quitting; neither waits for this outcome
    }
    platform::alertPresenter()->runModal(
        platform::criticalAlert(QStringLiteral("Failed to Load Database"),
                                QStringLiteral("An error occurred while loading the database:\n\n") + qs(description) +
                                    QStringLiteral("\n\nPlease check the logs and try again.")));
}

void MenuDatabaseLoader::showPermissionRequiredAlert() {
    platform::AlertRequest alert;
    alert.messageText = QStringLiteral("Permission Required");
    alert.informativeText = QStringLiteral("Quillobrandt needs Full Disk Access to read your Messages database.\n\n"
                                           "Please grant permission in System Settings and try again.");
    alert.style = platform::AlertStyle::warning;
    alert.buttons = {QStringLiteral("Open System Settings"), QStringLiteral("Cancel")};
    alert.defaultButton = 0;
    alert.cancelButton = 1;
    if (platform::alertPresenter()->runModal(alert) == 0) {
        PermissionManager::openFullDiskAccessSettings();
    }
}

void MenuDatabaseLoader::showMissingDefaultDatabaseAlert(const Path& path) {
    platform::AlertRequest alert;
    alert.messageText = QStringLiteral("Failed to Load Database");
    alert.informativeText =
        QStringLiteral("No Messages database was found at:\n\n") + qs(path.string()) + QStringLiteral("\n\n") +
        qs(PermissionManager::messagesFolderCopyHint()) +
        QStringLiteral("\n\nTo read any other Messages database, choose File → Open Database… and pick a "
                       "\"chat.db\" or \"sms.db\" file.");
    alert.style = platform::AlertStyle::warning;
    alert.buttons = {QStringLiteral("OK")};
    platform::alertPresenter()->runModal(alert);
}

} // namespace quillobrandt
