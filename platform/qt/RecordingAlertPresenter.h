#pragma once

#include <deque>
#include <vector>

#include "platform/qt/AlertPresenter.h"

namespace platform {

// Test double: records every alert and answers it at once, from a queue of scripted answers
// (then the default answer, 0 = the first button). Never shows anything.
class RecordingAlertPresenter final : public AlertPresenter {
public:
    int runModal(const AlertRequest& request) override;

    void answerNext(int buttonIndex) { scriptedAnswers_.push_back(buttonIndex); }
    void setDefaultAnswer(int buttonIndex) { defaultAnswer_ = buttonIndex; }

    const std::vector<AlertRequest>& alerts() const { return alerts_; }
    // Whether each alert was shown on the GUI thread, in the order of alerts().
    const std::vector<bool>& shownOnMainThread() const { return shownOnMainThread_; }

private:
    std::vector<AlertRequest> alerts_;
    std::vector<bool> shownOnMainThread_;
    std::deque<int> scriptedAnswers_;
    int defaultAnswer_ = 0;
};

} // namespace platform
