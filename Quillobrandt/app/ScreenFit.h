#pragma once

#include <QRect>
#include <QSize>

class QScrollArea;
class QWidget;

namespace quillobrandt {

// Room a window's frame takes on the screen before the window manager says how much (a title bar).
inline constexpr QSize kFrameAllowance(0, 40);

// The window content size to use for a designed `content` size: the designed size where the screen's free area
// has room for it, the window's own bars (`bars`: a menu bar) and its frame (`frame`), else as much as fits. Never
// smaller than 1 by 1. A fixed-size window made larger than its screen would leave controls out of reach.
// Content that then scrolls one way gets `scrollBar` pixels more the other way where there is room, so that the
// scroll bar does not take the room and make it scroll both ways. Content that can shrink to `least` (unset: it
// cannot shrink) scrolls only where even that does not fit; elsewhere it gets no room for a bar it never shows.
QSize fitContentToScreen(QSize content, QSize bars, QSize frame, const QRect& available, int scrollBar = 0,
                         QSize least = QSize());

// Where a window's frame goes so that it lies within `available` when it fits, and never above or left of it
// when it does not (the title bar, the menu bar and the close button stay reachable).
QRect keepFrameOnScreen(QRect frame, const QRect& available);

// The free area of the screen `window` is on (the primary screen when it has none yet); empty without screens.
QRect availableScreenArea(const QWidget& window);

// The frame `window` has on top of its own geometry, or kFrameAllowance while the window manager has not said.
QSize frameExtent(const QWidget& window);

// A frameless scroll area for content that keeps its designed size and scrolls where the screen is smaller. It
// takes no keyboard focus itself: Tab would stop on it with nothing to show, and moving the focus into the content
// scrolls to the control already.
QScrollArea* makeContentScrollArea(QWidget* parent);

} // namespace quillobrandt
