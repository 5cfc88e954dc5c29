#pragma once

#include <QSize>
#include <QString>

#include <chrono>
#include <optional>
#include <string>

#include "Quillobrandt/store/DatabaseError.h"

namespace quillobrandt {

// Which face the main window shows.
enum class MainFace { loadingDatabase, startScreen, conversationList };

// The menu's load wins over everything; then the start screen until conversations exist.
MainFace chooseMainFace(bool isDatabaseLoading, bool hasConversations);
// The window's fixed content size: 550 by 380 for the start screen, 810 by 690 with conversations.
QSize mainContentSize(bool hasConversations);

inline constexpr QSize kStartScreenSize{550, 380};
inline constexpr QSize kConversationListSize{810, 690};
// The least the list face needs where a small or scaled screen cannot give it its designed size: the header,
// the search field, a few rows and the "Display Conversation" button.
inline constexpr QSize kConversationListMinimumSize{480, 300};
// Opening a conversation of this many messages asks first.
inline constexpr std::int64_t kLargeConversationThreshold = 20000;
// Contact matching stays on screen at least this long, so the overlay never flickers.
inline constexpr std::chrono::milliseconds kMinimumMatchingDuration{1000};

// The progress the window's own loading pipeline shows. GUI thread only.
struct LoadingState {
    bool isLoading = false;
    std::string loadingMessage = "Loading messages...";
    double loadingProgress = 0.0;
    std::optional<std::string> subLoadingMessage;
    std::optional<double> subLoadingProgress;
    bool isMatchingContacts = false;

    // A load starts; the sub-step line keeps what the last load left until the first report.
    void begin();
    // A picked Messages folder's database is being copied before the load proper.
    void beginCopying();
    // One report of the reader, taken as it stands.
    void report(const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                std::optional<double> subFraction);
    // The contact cache is being built as the last step of a load.
    void preBuildingContacts();
    void finish() { isLoading = false; }

    bool overlayVisible() const { return isLoading || isMatchingContacts; }
    // The progress as a whole percentage, truncated: "42%".
    QString percentText() const;
    // The sub-step line; a single space keeps the line's height without a sub-step.
    QString subLineText() const;
};

// Whether a load error should be answered with the Full Disk Access alert rather than the error alert: only
// where a Full Disk Access gate exists, and only for the errors that gate causes (the file cannot be opened,
// or SQLite refused the read). `code` is empty for errors that are no DatabaseError.
bool errorCallsForFullDiskAccess(std::optional<DatabaseError::Code> code, bool hasFullDiskAccessGate);

// How much longer the matching overlay should stay after a cache build that took `elapsed`.
std::chrono::milliseconds remainingMatchingPadding(std::chrono::milliseconds elapsed);

} // namespace quillobrandt
