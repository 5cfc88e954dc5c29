#include "Quillobrandt/main/MainViewState.h"

#include <algorithm>
#include <cmath>

namespace quillobrandt {

MainFace chooseMainFace(bool isDatabaseLoading, bool hasConversations) {
    if (isDatabaseLoading) {
        return MainFace::loadingDatabase;
    }
    return hasConversations ? MainFace::conversationList : MainFace::startScreen;
}

QSize mainContentSize(bool hasConversations) {
    return hasConversations ? kConversationListSize : kStartScreenSize;
}

void LoadingState::begin() {
    isLoading = true;
    loadingMessage = "Opening database...";
    loadingProgress = 0.0;
}

void LoadingState::beginCopying() {
    isLoading = true;
    loadingMessage = "Copying database...";
    loadingProgress = 0.0;
}

void LoadingState::report(const std::string& message, double fraction, const std::optional<std::string>& subMessage,
                          std::optional<double> subFraction) {
    loadingMessage = message;
    loadingProgress = fraction;
    subLoadingMessage = subMessage;
    subLoadingProgress = subFraction;
}

void LoadingState::preBuildingContacts() {
    loadingMessage = "Matching contacts...";
    loadingProgress = 0.98;
}

QString LoadingState::percentText() const {
    // A reader that overshoots or reports garbage must not print "-3%" or "250%".
    const double clamped = std::isfinite(loadingProgress) ? std::clamp(loadingProgress, 0.0, 1.0) : 0.0;
    return QString::number(static_cast<int>(clamped * 100.0)) + QStringLiteral("%");
}

QString LoadingState::subLineText() const {
    return subLoadingMessage ? QString::fromStdString(*subLoadingMessage) : QStringLiteral(" ");
}

bool errorCallsForFullDiskAccess(std::optional<DatabaseError::Code> code, bool hasFullDiskAccessGate) {
    return hasFullDiskAccessGate &&
           (code == DatabaseError::Code::cannotOpenDatabase || code == DatabaseError::Code::authorizationDenied);
}

std::chrono::milliseconds remainingMatchingPadding(std::chrono::milliseconds elapsed) {
    return elapsed >= kMinimumMatchingDuration ? std::chrono::milliseconds(0) : kMinimumMatchingDuration - elapsed;
}

} // namespace quillobrandt
