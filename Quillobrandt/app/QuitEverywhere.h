#pragma once

#include <QPointer>

#include "Quillobrandt/app/ApplicationWatcher.h"

class QAction;

namespace quillobrandt {

// Lets the Quit command answer its shortcut in every window of the program, not only in the main window whose menu
// carries it: over a sheet (the conversation, the wizard), in a small window, over an alert. Quitting closes them
// all, the innermost sheet first, each as its own close button would. GUI thread only; watches the application
// while it lives.
class QuitEverywhere final : public ApplicationWatcher {
public:
    explicit QuitEverywhere(QAction* quit, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QAction> quit_;
};

} // namespace quillobrandt
