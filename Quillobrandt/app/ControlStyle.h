#pragma once

#include <QProxyStyle>

namespace quillobrandt {

// The desktop's own style, with two mends. Under a dark palette Fusion draws the edge of a check box or radio
// button in a colour darker than the dark window, so an unticked box vanishes: here that edge is drawn in the
// label colour mixed into the window colour, which stands out from any dark window. And a theme that names no
// placeholder colour leaves the toolkit's half-black one, which hardly shows on a dark field: the palette's
// placeholder becomes a secondary label colour that reads on the field.
class ControlStyle final : public QProxyStyle {
    Q_OBJECT
public:
    using QProxyStyle::QProxyStyle;

    using QProxyStyle::polish;
    void polish(QPalette& palette) override;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;

    // The edge colour used under `palette`, or an invalid colour where the base style's own edge shows.
    static QColor indicatorEdge(const QPalette& palette);
};

// Makes ControlStyle, over the style in use, the application's style. Call once the QApplication exists.
void installControlStyle();

} // namespace quillobrandt
