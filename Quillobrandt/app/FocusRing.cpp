#include "Quillobrandt/app/FocusRing.h"

#include <QPainter>
#include <QWidget>

#include "Quillobrandt/app/TextContrast.h"

namespace quillobrandt {

namespace {

// Focus rings stand out from the window by at least this contrast ratio.
constexpr double kFocusRingContrast = 3.0;

} // namespace

void paintFocusRing(QWidget& control) {
    const QColor window = control.palette().color(QPalette::Window);
    QColor ring = control.palette().color(QPalette::Highlight);
    if (contrastOver(ring, window, window) < kFocusRingContrast) {
        ring = control.palette().color(QPalette::WindowText); // a dark theme's highlight can sink into its window
    }
    QPainter painter(&control);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ring, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(control.rect()).adjusted(1, 1, -1, -1), 5, 5);
}

} // namespace quillobrandt
