#pragma once

#include <QColor>
#include <QPalette>
#include <QRectF>

class QPainter;
class QPushButton;
class QWidget;

namespace quillobrandt {

// The colour of a keyboard focus ring over `background`: the palette's highlight, or the label colour where the
// highlight would sink into it (some dark themes).
QColor focusRingColour(const QPalette& palette, const QColor& background);

// Draws a focus ring of `colour` just inside `rect`.
void paintFocusRing(QPainter& painter, const QRectF& rect, const QColor& colour, qreal radius = 5);

// Draws a keyboard focus ring around the whole of `control`, from inside its paintEvent: the style draws none
// for a flat or borderless control. GUI thread only.
void paintFocusRing(QWidget& control);

// Makes `control` draw a focus ring over its own picture while the keyboard (Tab, a shortcut, or the program
// moving it there), not a click, gave it the focus: for controls whose style shows no focus of its own (flat,
// borderless, or always drawn as the default). The ring lies `inset` pixels inside the control's edges, so a
// framed button keeps its frame. GUI thread only; lives as long as the control.
void showKeyboardFocus(QWidget& control, int inset = 1, qreal radius = 5);

// Makes `button` the default one, which Return presses, and gives it the keyboard's ring: the style draws a
// default button as it draws a focused one, so without the ring nothing changes when the keyboard reaches it.
void makeDefaultButton(QPushButton& button);

} // namespace quillobrandt
