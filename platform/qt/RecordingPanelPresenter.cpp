#include "platform/qt/RecordingPanelPresenter.h"

namespace platform {

std::optional<QString> RecordingPanelPresenter::nextAnswer() {
    if (answers_.empty()) {
        return std::nullopt;
    }
    const Answer answer = answers_.front();
    answers_.pop_front();
    if (!answer.chosen) {
        return std::nullopt;
    }
    return answer.path;
}

std::optional<QString> RecordingPanelPresenter::chooseFileToOpen(const OpenPanelRequest& request) {
    openRequests_.push_back(request);
    return nextAnswer();
}

std::optional<QString> RecordingPanelPresenter::chooseSaveLocation(const SavePanelRequest& request) {
    saveRequests_.push_back(request);
    auto answer = nextAnswer();
    if (!answer) {
        return std::nullopt;
    }
    return withDefaultSuffix(*answer, request.defaultSuffix);
}

std::optional<QString> RecordingPanelPresenter::chooseFolder(const FolderPanelRequest& request) {
    folderRequests_.push_back(request);
    return nextAnswer();
}

} // namespace platform
