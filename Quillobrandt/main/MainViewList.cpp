// The conversation list's actions: selection, search, opening a conversation and going back.
#include <QDateTime>
#include <QLineEdit>
#include <QListView>
#include <QSizeF>

#include <chrono>
#include <string>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/main/ConversationListModel.h"
#include "Quillobrandt/main/MainAlerts.h"
#include "Quillobrandt/main/MainView.h"
#include "platform/core/Console.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {

ParticipantNaming MainView::participantNaming() const {
    ParticipantNaming naming;
    naming.labels = appState_->participantLabels();
    naming.hasContactsAccess = appState_->hasContactsAccess();
    // Only a built cache is asked: building it here would freeze the window; contact matching builds
    // it in the background and refreshes the list when done.
    naming.contactName = [](const std::string& handle) { return PermissionManager::cachedContactName(handle); };
    return naming;
}

std::vector<ConversationListEntry> MainView::filteredConversations() const {
    const auto start = std::chrono::steady_clock::now();
    platform::consoleLine("⏱️ filteredConversations computed property called at " +
                          QDateTime::currentDateTime().toString(Qt::ISODate).toStdString());
    auto entries = filterAndSortConversations(appState_->conversations(), searchText_, participantNaming());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    platform::consoleLine("⏱️ filteredConversations completed in " + std::to_string(seconds) + " seconds (" +
                          std::to_string(entries.size()) + " shown)");
    return entries;
}

const Conversation* MainView::selectedConversation() const {
    if (!selectedConversationID_) {
        return nullptr;
    }
    const auto& conversations = appState_->conversations();
    const int row = listModel_->rowOf(*selectedConversationID_);
    if (row < 0) {
        return nullptr;
    }
    for (const auto& conversation : conversations) {
        if (conversation.id == *selectedConversationID_) {
            return &conversation;
        }
    }
    return nullptr;
}

void MainView::setSearchText(const QString& text) {
    if (text == searchText_) {
        return;
    }
    searchText_ = text;
    if (searchField_->text() != text) {
        searchField_->setText(text);
    }
    refreshList();
}

void MainView::setSelectedConversationID(const std::optional<std::string>& id) {
    selectedConversationID_ = id;
    refreshingList_ = true;
    const int row = id ? listModel_->rowOf(*id) : -1;
    if (row >= 0) {
        listView_->setCurrentIndex(listModel_->index(row));
    } else {
        listView_->clearSelection();
    }
    refreshingList_ = false;
    updateDisplayButton();
}

void MainView::displaySelectedConversation() {
    const Conversation* conversation = selectedConversation();
    if (conversation == nullptr) {
        return;
    }
    auto shared = appState_->sharedConversation(conversation);
    if (!shared) {
        return;
    }
    const auto figures = ConversationOpenFigures::of(*shared);
    if (figures.messageCount >= kLargeConversationThreshold) {
        pendingLargeConversation_ = std::move(shared);
        showingLargeConversationWarning_ = true;
        analytics_->trackEvent("large_conversation_warning", {{"message_count", figures.messageCount}});
        presentLargeConversationAlert();
        return;
    }
    openConversation(std::move(shared), false);
}

void MainView::presentLargeConversationAlert() {
    platform::runOnMainQueue(this, [this] {
        if (!showingLargeConversationWarning_) {
            return;
        }
        std::optional<std::int64_t> count;
        if (pendingLargeConversation_) {
            count = static_cast<std::int64_t>(pendingLargeConversation_->messages.size());
        }
        const int answer = platform::alertPresenter()->runModal(main_alerts::largeConversation(count));
        showingLargeConversationWarning_ = false;
        if (answer == main_alerts::kPrimaryButton) {
            proceedWithLargeConversation();
        } else {
            cancelLargeConversation();
        }
    });
}

void MainView::proceedWithLargeConversation() {
    showingLargeConversationWarning_ = false;
    if (!pendingLargeConversation_) {
        return; // nothing to open: an empty conversation window helps no one
    }
    auto conversation = std::move(pendingLargeConversation_);
    pendingLargeConversation_.reset();
    const auto figures = ConversationOpenFigures::of(*conversation);
    analytics_->trackEvent("large_conversation_proceeded", {{"message_count", figures.messageCount}});
    openConversation(std::move(conversation), true);
}

void MainView::cancelLargeConversation() {
    showingLargeConversationWarning_ = false;
    pendingLargeConversation_.reset();
}

void MainView::openConversation(std::shared_ptr<const Conversation> conversation, bool afterWarning) {
    const auto figures = ConversationOpenFigures::of(*conversation);
    analytics_->trackConversationOpened(figures.messageCount, figures.isGroupChat(), figures.hasMedia());
    if (corvantesk::Corvantesk::isInitialized()) {
        corvantesk::AnyMap properties{{"message_count", figures.messageCount},
                                      {"participant_count", figures.participantCount},
                                      {"is_group_chat", figures.isGroupChat()},
                                      {"attachment_count", figures.attachmentCount}};
        if (afterWarning) {
            properties.emplace("large_conversation_warning_shown", true);
        }
        corvantesk::Corvantesk::track("conversation_opened", "scaling", properties);
    }
    showingConversationWindow_ = true;
    emit conversationOpenRequested(std::move(conversation));
}

void MainView::backToWelcome() {
    platform::consoleLine("🔙 Back button pressed - clearing state");
    selectedConversationID_.reset();
    appState_->setConversations({});
    appState_->setDatabaseURL(std::nullopt);
    appState_->stopAccessingAttachmentFolder();
    platform::NotificationHub::defaultCenter().post(platform::notification::resizeWindow,
                                                    platform::resizeWindowUserInfo(QSizeF(kStartScreenSize)));
}

} // namespace quillobrandt
