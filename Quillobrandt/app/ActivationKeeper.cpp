#include "Quillobrandt/app/ActivationKeeper.h"

#include <QApplication>
#include <QEvent>

namespace quillobrandt {

ActivationKeeper::ActivationKeeper(QWidget* fallback, QObject* parent)
    : ApplicationWatcher(parent), fallback_(fallback) {}

bool ActivationKeeper::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Hide || !watched->isWidgetType()) {
        return false;
    }
    auto* closed = static_cast<QWidget*>(watched);
    // Menus, tooltips and the like never held the keyboard of a window.
    if (!closed->isWindow() || (closed->windowType() != Qt::Dialog && closed->windowType() != Qt::Window)) {
        return false;
    }
    QWidget* next = closed->parentWidget() != nullptr ? closed->parentWidget()->window() : fallback_.data();
    if (next == nullptr || next == closed || !next->isVisible()) {
        return false;
    }
    // At once, while the closed window is already off the screen: a window the program shows next asks after
    // this and wins, and one that was active elsewhere keeps the keyboard.
    const QWidget* active = QApplication::activeWindow();
    if (active == nullptr || active == closed || !active->isVisible()) {
        next->activateWindow();
    }
    return false;
}

} // namespace quillobrandt
