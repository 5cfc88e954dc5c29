#include "Quillobrandt/app/ScreenFit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QWidget>

#include <algorithm>

namespace quillobrandt {

QSize fitContentToScreen(QSize content, QSize bars, QSize frame, const QRect& available, int scrollBar, QSize least) {
    if (!available.isValid()) {
        return content;
    }
    // An unset size (QSize() is -1 by -1) takes no room; subtracted as it stands it would add a pixel each way.
    const QSize none(0, 0);
    const QSize room = available.size() - bars.expandedTo(none) - frame.expandedTo(none);
    const QSize smallest = least.isValid() ? least.boundedTo(content) : content;
    const bool scrollsDown = smallest.height() > room.height();
    const bool scrollsAcross = smallest.width() + (scrollsDown ? scrollBar : 0) > room.width();
    QSize wanted = content;
    if (scrollsDown) {
        wanted.rwidth() += scrollBar;
    }
    if (scrollsAcross) {
        wanted.rheight() += scrollBar;
    }
    return wanted.boundedTo(room).expandedTo(QSize(1, 1));
}

QRect keepFrameOnScreen(QRect frame, const QRect& available) {
    if (!available.isValid()) {
        return frame;
    }
    // Right and bottom first, then left and top, so a frame larger than the area keeps its top-left corner in it.
    frame.moveRight(std::min(frame.right(), available.right()));
    frame.moveBottom(std::min(frame.bottom(), available.bottom()));
    frame.moveLeft(std::max(frame.left(), available.left()));
    frame.moveTop(std::max(frame.top(), available.top()));
    return frame;
}

QRect availableScreenArea(const QWidget& window) {
    const QScreen* screen = window.screen() != nullptr ? window.screen() : QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

QSize frameExtent(const QWidget& window) {
    const QSize extent = window.frameGeometry().size() - window.geometry().size();
    return extent.height() > 0 ? extent : kFrameAllowance;
}

QScrollArea* makeContentScrollArea(QWidget* parent) {
    auto* scroll = new QScrollArea(parent);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);
    return scroll;
}

} // namespace quillobrandt
