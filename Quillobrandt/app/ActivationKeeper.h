#pragma once

#include <QPointer>
#include <QWidget>

#include "Quillobrandt/app/ApplicationWatcher.h"

namespace quillobrandt {

// Hands the keyboard back when a window of the program closes: to the window it was presented over (a sheet's,
// an alert's or a file dialog's parent), else to `fallback` (the main window, under a small window such as
// Preferences). A window manager usually does this itself; without one, or when it does not, no window of the
// program stays active and the main window's menu shortcuts answer nothing until it is clicked.
// Watches the whole application while it lives. GUI thread only.
class ActivationKeeper final : public ApplicationWatcher {
public:
    explicit ActivationKeeper(QWidget* fallback, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> fallback_;
};

} // namespace quillobrandt
