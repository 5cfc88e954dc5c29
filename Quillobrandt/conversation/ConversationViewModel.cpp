#include "Quillobrandt/conversation/ConversationViewModel.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>

#include <algorithm>

#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "Quillobrandt/conversation/SenderNames.h"

namespace quillobrandt {

SourceLine sourceLineFor(const std::optional<std::filesystem::path>& databaseURL) {
    if (!databaseURL) {
        return {SourceKind::none, QStringLiteral("questionmark.circle"), QStringLiteral("No database loaded")};
    }
    const std::string path = databaseURL->string();
    const std::string name = databaseURL->filename().string();
    if (name == "chat.db" && path.find("/Library/Messages/") != std::string::npos) {
        return {SourceKind::macMessages, QStringLiteral("lock.circle.fill"),
                QStringLiteral("Viewing: Mac Messages (read-only)")};
    }
    return {SourceKind::editable, QStringLiteral("pencil.circle.fill"),
            QStringLiteral("Editing: ") + QString::fromStdString(name)};
}

QString participantNamesTitle(const std::vector<std::string>& participants, const ParticipantNamer& namer) {
    const auto name = [&](const std::string& handle) {
        const QString text = QString::fromStdString(handle);
        return namer ? namer(text) : text;
    };
    const std::size_t n = participants.size();
    QStringList names;
    if (n >= 3) {
        names << name(participants[0]) << name(participants[1]);
        const QString rest = n == 3 ? QStringLiteral(", and 1 other")
                                    : QStringLiteral(", and %1 others").arg(static_cast<qulonglong>(n - 2));
        return names.join(QStringLiteral(", ")) + rest;
    }
    for (const auto& handle : participants) {
        names << name(handle);
    }
    return names.join(QStringLiteral(", "));
}

QString editedCopyFileName(const QString& title) {
    return QStringLiteral("quillobrandt_") + sanitizedExportName(title) + QStringLiteral("_edited.db");
}

ConversationViewModel::ConversationViewModel(std::shared_ptr<const Conversation> conversation, QDate today)
    : conversation_(conversation ? std::move(conversation) : std::make_shared<const Conversation>()) {
    endDate_ = today;
    const QDate yearBefore = today.addYears(-1);
    startDate_ = yearBefore.isValid() ? yearBefore : today;
}

ConversationViewModel::ConversationViewModel(Conversation conversation, QDate today)
    : ConversationViewModel(std::make_shared<const Conversation>(std::move(conversation)), today) {}

void ConversationViewModel::updateFilteredMessages() {
    // Whole local days: from midnight of the start day up to, not including, midnight after the end day. Only the
    // two boundaries are converted; each message's stored time is compared as it is.
    qint64 lower = 0;
    qint64 upper = 0;
    if (enableDateFilter_) {
        lower = startDate_.startOfDay().toMSecsSinceEpoch();
        const QDateTime upperDay = endDate_.addDays(1).startOfDay();
        upper = upperDay.isValid() ? upperDay.toMSecsSinceEpoch() : endDate_.startOfDay().toMSecsSinceEpoch();
    }
    const auto kept = [&](const Message& m) {
        if (!showMedia_ && m.hasImageAttachment()) {
            return false;
        }
        if (enableDateFilter_) {
            const qint64 at = epochMilliseconds(m.date);
            return lower <= at && at < upper;
        }
        return true;
    };
    // Positions, not messages: the list costs four bytes a message and nothing is copied.
    const auto& messages = conversation_->messages;
    // In edit mode the working copy already leaves out what was applied earlier, and what is marked now
    // stays on screen so that the user sees what will go.
    const auto consider = [&](std::size_t position, std::vector<std::uint32_t>& list) {
        const Message& message = messages[position];
        if ((copy_ || !permanentlyDeleted_.contains(message.id)) && kept(message)) {
            list.push_back(static_cast<std::uint32_t>(position));
        }
    };
    std::vector<std::uint32_t> list;
    if (copy_) {
        for (std::size_t i = 0; i < copy_->editedMessages.size(); ++i) {
            if (copy_->hasEditedMessage(i)) {
                consider(copy_->editedMessages[i], list);
            }
        }
    } else {
        for (std::size_t position = 0; position < messages.size(); ++position) {
            consider(position, list);
        }
    }
    filtered_ = std::move(list);
    clampWindow();
}

const Message& ConversationViewModel::filteredMessage(int index) const {
    return conversation_->messages[filtered_[static_cast<std::size_t>(index)]];
}

void ConversationViewModel::clampWindow() {
    // A window left outside a shrunken list would show the whole list at once (90,000 rows after
    // hiding media on a long conversation) and count earlier messages that are not there.
    windowStart_ = std::clamp(windowStart_, 0, std::max(filteredCount() - windowSize_, 0));
}

bool ConversationViewModel::dateFilterChanged() {
    if (!enableDateFilter_) {
        return false;
    }
    updateFilteredMessages();
    return true;
}

std::pair<int, int> ConversationViewModel::displayedRange() const {
    const int count = filteredCount();
    if (windowSize_ >= count) {
        return {0, count};
    }
    const int lower = std::max(windowStart_, 0);
    const int upper = std::min(windowStart_ + windowSize_, count);
    if (lower < count && upper <= count && lower <= upper) {
        return {lower, upper};
    }
    // A window left outside a shrunken list shows the whole list until the user pages back.
    return {0, count};
}

std::vector<Message> ConversationViewModel::displayedMessages() const {
    const auto [first, last] = displayedRange();
    std::vector<Message> shown;
    shown.reserve(static_cast<std::size_t>(last - first));
    for (int i = first; i < last; ++i) {
        shown.push_back(filteredMessage(i));
    }
    return shown;
}

int ConversationViewModel::displayedCount() const {
    const auto [first, last] = displayedRange();
    return last - first;
}

QString ConversationViewModel::noMessagesInRangeText() const {
    const auto day = [](QDate date) { return QLocale::c().toString(date, QStringLiteral("MMM d, yyyy")); };
    return QStringLiteral("No messages between %1 and %2").arg(day(startDate_), day(endDate_));
}

QString ConversationViewModel::loadEarlierLabel() const {
    return QStringLiteral("Load Earlier Messages (%1 more)").arg(windowStart_);
}

QString ConversationViewModel::loadNewerLabel() const {
    return QStringLiteral("Load Newer Messages (%1 more)").arg(filteredCount() - (windowStart_ + windowSize_));
}

void ConversationViewModel::showNewestWindow() {
    updateFilteredMessages();
    const int count = filteredCount();
    windowStart_ = windowSize_ >= count ? 0 : std::max(count - windowSize_, 0);
}

void ConversationViewModel::loadEarlierMessages() {
    windowStart_ = std::max(windowStart_ - std::min(windowStart_, windowSize_), 0);
}

void ConversationViewModel::loadNewerMessages() {
    windowStart_ = std::max(std::min(windowStart_ + windowSize_, filteredCount() - windowSize_), 0);
}

void ConversationViewModel::jumpToOldest() {
    if (windowStart_ >= 1) {
        windowStart_ = 0;
    }
}

void ConversationViewModel::jumpToNewest() {
    const int count = filteredCount();
    if (windowSize_ < count) {
        windowStart_ = std::max(count - windowSize_, 0);
    }
}

MessageRowLayout ConversationViewModel::rowLayout(int index) const {
    MessageRowLayout row;
    const auto [first, last] = displayedRange();
    if (index < 0 || first + index >= last) {
        row.empty = true;
        return row;
    }
    const Message& message = filteredMessage(first + index);
    if (message.associatedMessageGUID) {
        row.empty = true;
        return row;
    }
    // Days follow what is shown: a reaction draws nothing, so the day test skips back over it to the
    // last row of the window that draws something. Without one, this row is the first one drawn.
    const Message* previous = nullptr;
    for (int i = first + index - 1; i >= first; --i) {
        if (!filteredMessage(i).associatedMessageGUID) {
            previous = &filteredMessage(i);
            break;
        }
    }
    if (!previous) {
        row.showDateHeader = true;
    } else {
        row.showDateHeader = !isSameLocalDay(localDateTime(message.date), localDateTime(previous->date));
        row.headerPaddingAbove = row.showDateHeader;
    }
    row.showSenderName = showsSenderNames(conversation_->participants) && !message.isFromMe;
    return row;
}

void ConversationViewModel::enterEditMode() {
    markOrder_.clear();
    // The working copy shares the conversation and lists what it edits by position: entering edit mode on
    // 100,000 messages copies none of them.
    ConversationCopy copy;
    copy.originalConversation = conversation_;
    const auto& messages = conversation_->messages;
    copy.editedMessages.reserve(messages.size() - std::min(messages.size(), permanentlyDeleted_.size()));
    for (std::size_t position = 0; position < messages.size(); ++position) {
        if (!permanentlyDeleted_.contains(messages[position].id)) {
            copy.editedMessages.push_back(static_cast<std::uint32_t>(position));
        }
    }
    copy_ = std::move(copy);
}

void ConversationViewModel::deleteMessage(const Message& message) {
    if (copy_ && copy_->deletedMessageIDs.insert(message.id).second) {
        markOrder_.push_back(message.id);
    }
}

void ConversationViewModel::restoreMessage(const Message& message) {
    if (copy_) {
        copy_->deletedMessageIDs.erase(message.id);
        std::erase(markOrder_, message.id);
    }
}

std::optional<std::int64_t> ConversationViewModel::restoreLatestMark() {
    if (!copy_ || markOrder_.empty()) {
        return std::nullopt;
    }
    const std::int64_t id = markOrder_.back();
    markOrder_.pop_back();
    copy_->deletedMessageIDs.erase(id);
    return id;
}

bool ConversationViewModel::isMarkedDeleted(std::int64_t id) const {
    return copy_ && copy_->deletedMessageIDs.contains(id);
}

void ConversationViewModel::cancelEdit() {
    copy_.reset();
}

void ConversationViewModel::applyChanges() {
    if (copy_) {
        permanentlyDeleted_.insert(copy_->deletedMessageIDs.begin(), copy_->deletedMessageIDs.end());
    }
    copy_.reset();
}

void ConversationViewModel::finishSavedCopy(const std::unordered_set<std::int64_t>& savedIDs) {
    permanentlyDeleted_.insert(savedIDs.begin(), savedIDs.end());
    copy_.reset();
}

std::unordered_set<std::int64_t> ConversationViewModel::idsToDeleteInCopy() const {
    auto ids = permanentlyDeleted_;
    if (copy_) {
        ids.insert(copy_->deletedMessageIDs.begin(), copy_->deletedMessageIDs.end());
    }
    return ids;
}

} // namespace quillobrandt
