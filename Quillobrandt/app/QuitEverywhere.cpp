#include "Quillobrandt/app/QuitEverywhere.h"

#include <QAction>
#include <QEvent>
#include <QWidget>

namespace quillobrandt {

QuitEverywhere::QuitEverywhere(QAction* quit, QObject* parent) : ApplicationWatcher(parent), quit_(quit) {}

bool QuitEverywhere::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Show || !watched->isWidgetType() || quit_.isNull()) {
        return false;
    }
    auto* window = static_cast<QWidget*>(watched);
    // A window-wide shortcut answers in each window its action belongs to; menus and tooltips take no keys.
    const bool takesKeys = window->windowType() == Qt::Window || window->windowType() == Qt::Dialog;
    if (window->isWindow() && takesKeys && !window->actions().contains(quit_.data())) {
        window->addAction(quit_.data());
    }
    return false;
}

} // namespace quillobrandt
