#include "Quillobrandt/app/FocusReturn.h"

#include <utility>

namespace quillobrandt {

void FocusReturn::disableKeeping(QWidget& control, const std::function<void()>& disable) {
    // The window's focus widget rather than hasFocus(): a save panel just closed may not have handed the
    // activation back to the window yet, and Qt moves the focus on all the same.
    const bool hadFocus = control.window()->focusWidget() == &control;
    disable();
    control_ = hadFocus ? &control : nullptr;
    standIn_ = hadFocus ? control.window()->focusWidget() : nullptr;
}

void FocusReturn::giveBack() {
    const QPointer<QWidget> control = std::exchange(control_, nullptr);
    const QPointer<QWidget> standIn = std::exchange(standIn_, nullptr);
    if (!control || !control->isEnabled() || !control->isVisible()) {
        return;
    }
    const QWidget* focused = control->window()->focusWidget();
    if (standIn ? focused == standIn : focused == nullptr) {
        control->setFocus(Qt::OtherFocusReason);
    }
}

} // namespace quillobrandt
