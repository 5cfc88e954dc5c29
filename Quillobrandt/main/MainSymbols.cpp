#include "Quillobrandt/main/MainSymbols.h"

#include <QPainter>
#include <QPainterPath>

namespace quillobrandt {
namespace {

// Every symbol is drawn on a 24-unit grid and scaled to the requested size.
void drawSymbol(QPainter& p, const QString& name, const QColor& color) {
    QPen pen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    if (name == QLatin1String("desktopcomputer")) {
        p.drawRoundedRect(QRectF(2, 3, 20, 13), 1.5, 1.5);
        p.drawLine(QPointF(12, 16), QPointF(12, 20));
        p.drawLine(QPointF(8, 21), QPointF(16, 21));
    } else if (name == QLatin1String("iphone")) {
        p.drawRoundedRect(QRectF(6.5, 1.5, 11, 21), 2.5, 2.5);
        p.drawLine(QPointF(10.5, 4), QPointF(13.5, 4));
    } else if (name == QLatin1String("folder")) {
        QPainterPath path;
        path.moveTo(2, 6);
        path.lineTo(9, 6);
        path.lineTo(11, 8);
        path.lineTo(22, 8);
        path.lineTo(22, 19);
        path.lineTo(2, 19);
        path.closeSubpath();
        p.drawPath(path);
    } else if (name == QLatin1String("chevron.left")) {
        p.drawPolyline(QPolygonF({QPointF(15, 4), QPointF(7, 12), QPointF(15, 20)}));
    } else if (name == QLatin1String("magnifyingglass")) {
        p.drawEllipse(QRectF(3, 3, 13, 13));
        p.drawLine(QPointF(14, 14), QPointF(21, 21));
    } else if (name == QLatin1String("person.3.fill")) {
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        for (double x : {4.0, 12.0, 20.0}) {
            const double scale = x == 12.0 ? 1.0 : 0.8;
            p.drawEllipse(QPointF(x, 8), 2.8 * scale, 2.8 * scale);
            p.drawChord(QRectF(x - 4.5 * scale, 12, 9 * scale, 10 * scale), 0, 180 * 16);
        }
    } else if (name == QLatin1String("bubble.left.and.bubble.right")) {
        p.drawRoundedRect(QRectF(2, 3, 13, 9), 3, 3);
        p.drawRoundedRect(QRectF(9, 11, 13, 9), 3, 3);
    }
}

} // namespace

QPixmap mainSymbol(const QString& name, const QColor& color, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    drawSymbol(painter, name, color);
    return pixmap;
}

} // namespace quillobrandt
