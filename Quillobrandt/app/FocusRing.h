#pragma once

class QWidget;

namespace quillobrandt {

// Draws a keyboard focus ring around the whole of `control`, from inside its paintEvent: the style draws none
// for a flat or borderless control. The ring takes the palette's highlight, or the label colour where the
// highlight would sink into the window (some dark themes). GUI thread only.
void paintFocusRing(QWidget& control);

} // namespace quillobrandt
