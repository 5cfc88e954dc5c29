#pragma once

#include <QDate>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/ConversationCopy.h"

namespace quillobrandt {

// Where the shown conversation comes from, as the header's source line tells it.
enum class SourceKind { none, macMessages, editable };

struct SourceLine {
    SourceKind kind = SourceKind::none;
    QString symbol; // "questionmark.circle", "lock.circle.fill" or "pencil.circle.fill"
    QString text;
};

// The source line for a loaded database (nullopt: nothing loaded).
SourceLine sourceLineFor(const std::optional<std::filesystem::path>& databaseURL);

// The conversation title: up to two names, then ", and 1 other" / ", and N others" for larger groups.
QString participantNamesTitle(const std::vector<std::string>& participants, const ParticipantNamer& namer);

// The suggested name of a saved edited copy: "quillobrandt_<sanitised title>_edited.db".
QString editedCopyFileName(const QString& title);

// What one row of the message list shows for the message at a window index.
struct MessageRowLayout {
    bool empty = false;          // a reaction or reply marker: no header, no bubble
    bool showDateHeader = false; // a day header above the bubble
    bool headerPaddingAbove = false;
    bool showSenderName = false;
};

// Everything the conversation view keeps about one opened conversation, without widgets: the filter
// and its cache, the paged window of at most 500 messages, and edit mode with its working copy.
// The conversation is shared read-only with the loaded history (100,000 messages are tens of MiB); the
// filtered list and the working copy hold positions in it, never copies of messages.
// GUI thread only; every change is explicit, so the view decides when to refilter.
class ConversationViewModel {
public:
    static constexpr int defaultWindowSize = 500;

    // `today` is the date filter's end day; the start is one year earlier.
    // A null `conversation` opens as an empty one.
    explicit ConversationViewModel(std::shared_ptr<const Conversation> conversation,
                                   QDate today = QDate::currentDate());
    // Takes the conversation over (moved, not copied).
    explicit ConversationViewModel(Conversation conversation, QDate today = QDate::currentDate());

    const Conversation& conversation() const { return *conversation_; }
    const std::shared_ptr<const Conversation>& sharedConversation() const { return conversation_; }

    // Filter inputs. Setting one does not refilter; callers follow the view's rules (see the view).
    // Messages with files other than pictures (videos, voice messages, documents, link previews) are
    // always kept: nothing could ever show them again once they were filtered out.
    bool showMedia() const { return showMedia_; }
    void setShowMedia(bool value) { showMedia_ = value; }
    bool enableDateFilter() const { return enableDateFilter_; }
    void setEnableDateFilter(bool value) { enableDateFilter_ = value; }
    QDate startDate() const { return startDate_; }
    void setStartDate(QDate value) { startDate_ = value; }
    QDate endDate() const { return endDate_; }
    void setEndDate(QDate value) { endDate_ = value; }
    // "No messages between <start> and <end>", the dates as "Mar 2, 2024": where the date range holds none.
    QString noMessagesInRangeText() const;

    // Recomputes the filtered list from the conversation (or the working copy in edit mode), then
    // clamps the window's start into [0, max(count - window size, 0)].
    void updateFilteredMessages();
    // Refilters only while the date filter is on. Returns whether it did.
    bool dateFilterChanged();
    // The filtered list, as positions in conversation().messages, in their order.
    const std::vector<std::uint32_t>& filteredIndices() const { return filtered_; }
    // The message at `index` (0 ≤ index < filteredCount()) of the filtered list.
    const Message& filteredMessage(int index) const;
    int filteredCount() const { return static_cast<int>(filtered_.size()); }

    // Window over the filtered list.
    int windowStart() const { return windowStart_; }
    int windowSize() const { return windowSize_; }
    // [first, last) indices of the displayed messages in filteredMessages().
    std::pair<int, int> displayedRange() const;
    std::vector<Message> displayedMessages() const;
    int displayedCount() const;
    bool hasEarlierMessages() const { return windowStart_ >= 1; }
    bool hasNewerMessages() const { return windowStart_ + windowSize_ < filteredCount(); }
    QString loadEarlierLabel() const;
    QString loadNewerLabel() const;
    // Jump buttons appear from 11 displayed messages on.
    bool showsJumpButtons() const { return displayedCount() >= 11; }

    void showNewestWindow(); // refilters first
    void loadEarlierMessages();
    void loadNewerMessages();
    void jumpToOldest();
    void jumpToNewest();

    // Row of the message at `index` of the displayed messages.
    MessageRowLayout rowLayout(int index) const;

    // Edit mode.
    bool isEditMode() const { return copy_.has_value(); }
    const std::optional<ConversationCopy>& conversationCopy() const { return copy_; }
    const std::unordered_set<std::int64_t>& permanentlyDeletedMessageIDs() const { return permanentlyDeleted_; }
    void enterEditMode();
    // Marks a message of the working copy; the filtered list is left as it is. A marked message stays in
    // the list, marked, through every refilter until the edit is applied or cancelled.
    void deleteMessage(const Message& message);
    // Takes the mark off again.
    void restoreMessage(const Message& message);
    // Takes the latest mark still standing off again; its message id, none when nothing is marked.
    std::optional<std::int64_t> restoreLatestMark();
    bool isMarkedDeleted(std::int64_t id) const;
    int markedCount() const { return copy_ ? static_cast<int>(copy_->deletedMessageIDs.size()) : 0; }
    void cancelEdit();
    void applyChanges();
    // Ends edit mode after a saved copy: the ids left out of the copy stay hidden for the session.
    void finishSavedCopy(const std::unordered_set<std::int64_t>& savedIDs);
    // The ids a saved copy leaves out: those hidden this session and those marked in the working copy.
    std::unordered_set<std::int64_t> idsToDeleteInCopy() const;

private:
    void clampWindow();

    std::shared_ptr<const Conversation> conversation_;
    bool showMedia_ = true;
    bool enableDateFilter_ = false;
    QDate startDate_;
    QDate endDate_;
    std::vector<std::uint32_t> filtered_;
    int windowStart_ = 0;
    int windowSize_ = defaultWindowSize;
    std::optional<ConversationCopy> copy_;
    std::vector<std::int64_t> markOrder_; // the working copy's marks, oldest first
    std::unordered_set<std::int64_t> permanentlyDeleted_;
};

} // namespace quillobrandt
