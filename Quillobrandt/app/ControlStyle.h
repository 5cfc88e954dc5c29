#pragma once

#include <QProxyStyle>

namespace quillobrandt {

// The desktop's own style, with one mend: under a dark palette Fusion draws the edge of a check box or radio
// button in a colour darker than the dark window, so an unticked box vanishes. Here that edge is drawn in the
// label colour mixed into the window colour, which stands out from any dark window.
class ControlStyle final : public QProxyStyle {
    Q_OBJECT
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;

    // The edge colour used under `palette`, or an invalid colour where the base style's own edge shows.
    static QColor indicatorEdge(const QPalette& palette);
};

// Makes ControlStyle, over the style in use, the application's style. Call once the QApplication exists.
void installControlStyle();

} // namespace quillobrandt
