#include "Quillobrandt/app/AppState.h"

#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/qt/ContactStore.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/SecurityScope.h"

namespace quillobrandt {
namespace {

// One spelling per file, so a path given another way finds what was remembered of it.
std::filesystem::path sameFile(const std::filesystem::path& file) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(file, ignored);
    const auto canonical = std::filesystem::weakly_canonical(absolute, ignored);
    return canonical.empty() ? absolute : canonical;
}

const char* flagText(bool flag) {
    return flag ? "true" : "false";
}

void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

} // namespace

AppState::AppState(platform::NotificationHub* hub, GoogleAnalyticsManager* analytics, QObject* parent)
    : QObject(parent), hub_(hub != nullptr ? *hub : platform::NotificationHub::defaultCenter()),
      analytics_(analytics != nullptr ? *analytics : GoogleAnalyticsManager::shared()) {
    checkFullDiskAccess();
}

AppState::~AppState() {
    menuLoader_.requestStop();
    historyLoader_.requestStop(); // the running load stops soon; the loader is joined with the members
}

void AppState::setShowSplash(bool value) {
    if (showSplash_ != value) {
        showSplash_ = value;
        emit showSplashChanged(value);
    }
}

void AppState::setHasFullDiskAccess(bool value) {
    if (hasFullDiskAccess_ != value) {
        hasFullDiskAccess_ = value;
        emit hasFullDiskAccessChanged(value);
    }
}

void AppState::setHasContactsAccess(bool value) {
    if (hasContactsAccess_ != value) {
        hasContactsAccess_ = value;
        emit hasContactsAccessChanged(value);
    }
}

void AppState::setShowContactsRequest(bool value) {
    if (showContactsRequest_ != value) {
        showContactsRequest_ = value;
        emit showContactsRequestChanged(value);
    }
}

void AppState::setConversations(std::vector<Conversation> value) {
    // Comparing two histories would cost more than a redundant signal.
    opened_.retire(conversations_, historyLoader_.poster());
    conversations_ = makeHistory(std::move(value), historyLoader_.poster());
    emit conversationsChanged();
}

std::shared_ptr<const Conversation> AppState::sharedConversation(const Conversation* conversation) const {
    return opened_.pin(conversations_, conversation);
}

void AppState::setDatabaseURL(std::optional<Path> value) {
    if (databaseURL_ != value) {
        databaseURL_ = std::move(value);
        emit databaseURLChanged();
    }
}

void AppState::setParticipantLabels(Labels value) {
    if (participantLabels_ != value) {
        participantLabels_ = std::move(value);
        emit participantLabelsChanged();
    }
}

void AppState::setParticipantLabel(const std::string& handle, const std::string& label) {
    Labels labels = participantLabels_;
    if (label.empty()) {
        labels.erase(handle);
    } else {
        labels[handle] = label;
    }
    setParticipantLabels(std::move(labels));
}

void AppState::setAppTheme(AppTheme value) {
    if (appTheme_ != value) {
        appTheme_ = value;
        emit appThemeChanged(value);
    }
}

void AppState::setIsIPhoneBackup(bool value) {
    if (isIPhoneBackup_ != value) {
        isIPhoneBackup_ = value;
        emit isIPhoneBackupChanged(value);
    }
}

void AppState::dismissSplash() {
    logInfo("🎬 dismissSplash() called");
    logInfo(std::string("   - hasFullDiskAccess: ") + flagText(hasFullDiskAccess_));
    logInfo(std::string("   - hasContactsAccess: ") + flagText(hasContactsAccess_));
    logInfo(std::string("   - showContactsRequest: ") + flagText(showContactsRequest_));
    if (hasFullDiskAccess_) {
        logInfo("📋 FDA already granted on restart, checking Contacts...");
        checkIfShouldRequestContacts();
        logInfo(std::string("   - After checkIfShouldRequestContacts, showContactsRequest: ") +
                flagText(showContactsRequest_));
    }
    setShowSplash(false);
}

void AppState::checkFullDiskAccess() {
    setHasFullDiskAccess(PermissionManager::hasFullDiskAccess());
    setHasContactsAccess(PermissionManager::contactsAuthorizationStatus() ==
                         platform::ContactAuthorizationStatus::authorized);
}

void AppState::setContactsAllowed(bool allowed) {
    logInfo(std::string("📇 Contact names from the address book: ") + (allowed ? "on" : "off"));
    platform::contactStore()->setAllowed(allowed);
    PermissionManager::resetContactCache();
    setHasContactsAccess(PermissionManager::contactsAuthorizationStatus() ==
                         platform::ContactAuthorizationStatus::authorized);
    emit contactCacheReset();
}

void AppState::announceContactCacheBuilt() {
    emit contactCacheBuilt();
}

void AppState::checkIfShouldRequestContacts() {
    const auto status = PermissionManager::contactsAuthorizationStatus();
    platform::consoleLine("🔍 Checking if should request Contacts...");
    platform::consoleLine(std::string("   - hasContactsAccess: ") + flagText(hasContactsAccess_));
    platform::consoleLine("   - Contacts status: " + std::to_string(static_cast<int>(status)));
    if (status == platform::ContactAuthorizationStatus::notDetermined) {
        platform::consoleLine("✅ Will show Contacts request");
        setShowContactsRequest(true);
    } else {
        platform::consoleLine("⏭️ Skipping Contacts request");
    }
}

void AppState::startAccessingAttachmentFolder(const Path& folder) {
    stopAccessingAttachmentFolder();
    isAccessingAttachmentFolder_ = platform::securityScope()->startAccessing(folder);
    if (isAccessingAttachmentFolder_) {
        attachmentFolderURL_ = folder;
        platform::consoleLine("✅ Started accessing attachment folder: " + folder.string());
    } else {
        platform::consoleLine("⚠️ Failed to start accessing attachment folder");
    }
}

void AppState::stopAccessingAttachmentFolder() {
    if (!isAccessingAttachmentFolder_) {
        return;
    }
    if (attachmentFolderURL_) {
        platform::securityScope()->stopAccessing(*attachmentFolderURL_);
        isAccessingAttachmentFolder_ = false;
        attachmentFolderURL_.reset();
        platform::consoleLine("🛑 Stopped accessing attachment folder");
    }
}

bool AppState::waitForBackgroundLoads(int timeoutMs) {
    return historyLoader_.waitForIdle(std::chrono::milliseconds(timeoutMs));
}

void AppState::discardConversations(std::vector<Conversation> conversations) {
    discardHistory(std::move(conversations), historyLoader_.poster());
}

AppState::LoadTicket AppState::beginLoad() {
    ++outstandingLoads_;
    return ++loadGeneration_;
}

void AppState::raiseLoadingFace() {
    loadingFaceRaised_ = true;
    platform::runOnMainQueue(this, [this] { hub_.post(platform::notification::databaseLoadingStarted); });
}

void AppState::endLoad() {
    if (outstandingLoads_ > 0) {
        --outstandingLoads_;
    }
    if (outstandingLoads_ == 0 && loadingFaceRaised_) {
        loadingFaceRaised_ = false;
        hub_.post(platform::notification::databaseLoadingCompleted);
    }
}

void AppState::commitLoad(const LoadedSource& source, std::vector<Conversation> conversations) {
    const bool urlChanged = databaseURL_ != source.databaseURL;
    const bool backupChanged = isIPhoneBackup_ != source.isIPhoneBackup;
    opened_.retire(conversations_, historyLoader_.poster());
    conversations_ = makeHistory(std::move(conversations), historyLoader_.poster());
    readDatabases_.add(source.databaseURL);
    loadedAsIPhoneBackup_[sameFile(source.databaseURL)] = source.isIPhoneBackup;
    databaseURL_ = source.databaseURL;
    attachmentBaseURL_ = source.attachmentBaseURL;
    isIPhoneBackup_ = source.isIPhoneBackup;
    emit conversationsChanged();
    if (urlChanged) {
        emit databaseURLChanged();
    }
    if (backupChanged) {
        emit isIPhoneBackupChanged(isIPhoneBackup_);
    }
}

void AppState::rememberEditedCopy(const Path& source, const Path& copy) {
    const auto loaded = loadedAsIPhoneBackup_.find(sameFile(source));
    const bool backup = loaded != loadedAsIPhoneBackup_.end() ? loaded->second : isIPhoneBackup_;
    editedCopies_[sameFile(copy)] = backup;
}

std::optional<bool> AppState::editedCopyIsIPhoneBackup(const Path& file) const {
    const auto copy = editedCopies_.find(sameFile(file));
    return copy != editedCopies_.end() ? std::optional<bool>(copy->second) : std::nullopt;
}

} // namespace quillobrandt
