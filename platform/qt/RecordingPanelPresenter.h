#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "platform/qt/PanelPresenter.h"

namespace platform {

// Test double: records every panel request and answers from a queue of scripted choices
// (nullopt = the user cancelled, also the answer once the queue is empty).
class RecordingPanelPresenter final : public PanelPresenter {
public:
    std::optional<QString> chooseFileToOpen(const OpenPanelRequest& request) override;
    std::optional<QString> chooseSaveLocation(const SavePanelRequest& request) override;
    std::optional<QString> chooseFolder(const FolderPanelRequest& request) override;

    void answerNext(const std::optional<QString>& path) {
        answers_.push_back({path.has_value(), path.value_or(QString())});
    }

    const std::vector<OpenPanelRequest>& openRequests() const { return openRequests_; }
    const std::vector<SavePanelRequest>& saveRequests() const { return saveRequests_; }
    const std::vector<FolderPanelRequest>& folderRequests() const { return folderRequests_; }

private:
    struct Answer {
        bool chosen;
        QString path;
    };
    std::optional<QString> nextAnswer();

    std::deque<Answer> answers_;
    std::vector<OpenPanelRequest> openRequests_;
    std::vector<SavePanelRequest> saveRequests_;
    std::vector<FolderPanelRequest> folderRequests_;
};

} // namespace platform
