#include "platform/qt/RecordingAlertPresenter.h"

#include "platform/qt/MainQueue.h"

namespace platform {

int RecordingAlertPresenter::runModal(const AlertRequest& request) {
    alerts_.push_back(request);
    shownOnMainThread_.push_back(isMainThread());
    if (scriptedAnswers_.empty()) {
        return defaultAnswer_;
    }
    const int answer = scriptedAnswers_.front();
    scriptedAnswers_.pop_front();
    return answer;
}

} // namespace platform
