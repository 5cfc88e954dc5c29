#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

namespace quillobrandt {

// Gives the keyboard back to a control that is disabled while its work runs. Qt passes the focus of a control being
// disabled on to the next control along and leaves it there, so the next key would press whatever that is. When the
// work ends the focus comes back to the control, unless the user has moved it on from there meanwhile. GUI thread.
class FocusReturn {
public:
    // Runs `disable`, which disables `control`, noting whether the keyboard was on it and where Qt sent it.
    void disableKeeping(QWidget& control, const std::function<void()>& disable);
    // Once the control is enabled again: the keyboard back on it, if it is still where Qt sent it.
    void giveBack();

private:
    QPointer<QWidget> control_; // only while the keyboard was on it when its work began
    QPointer<QWidget> standIn_; // where the keyboard went meanwhile; none when the window had no focus left
};

} // namespace quillobrandt
