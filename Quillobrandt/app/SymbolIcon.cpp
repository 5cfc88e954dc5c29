#include "Quillobrandt/app/SymbolIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>

namespace quillobrandt {
namespace {

constexpr std::array knownSymbols{
    "AppIcon",  "key.fill", "person.crop.circle.fill", "person.crop.circle", "bubble.left.and.bubble.right.fill",
    "gear",     "chevron.right", "chevron.down", "doc.text.fill", "lock.fill", "checkmark.shield.fill",
};

// Coordinates below are on a 24 by 24 grid, scaled to the box.
QPointF at(const QRectF& box, double x, double y) {
    return {box.left() + box.width() * x / 24.0, box.top() + box.height() * y / 24.0};
}
QRectF rect(const QRectF& box, double x, double y, double w, double h) {
    return {at(box, x, y), at(box, x + w, y + h)};
}
double unit(const QRectF& box) { return box.width() / 24.0; }

void drawPersonCircle(QPainter& p, const QRectF& box, const QColor& colour, bool filled) {
    QPainterPath outline;
    outline.addEllipse(rect(box, 1, 1, 22, 22));
    QPainterPath figure;
    figure.addEllipse(rect(box, 8, 5, 8, 8));
    QPainterPath body;
    body.addEllipse(rect(box, 4.5, 14, 15, 12));
    figure = figure.united(body.intersected(outline));
    if (filled) {
        p.fillPath(outline.subtracted(figure), colour);
    } else {
        p.setPen(QPen(colour, 1.6 * unit(box)));
        p.drawPath(outline);
        p.fillPath(figure, colour);
    }
}

void drawBubbles(QPainter& p, const QRectF& box, const QColor& colour) {
    QPainterPath back;
    back.addRoundedRect(rect(box, 8, 2, 15, 11), 5 * unit(box), 5 * unit(box));
    QPainterPath front;
    front.addRoundedRect(rect(box, 1, 8, 15, 11), 5 * unit(box), 5 * unit(box));
    QPainterPath tail;
    tail.moveTo(at(box, 3, 16));
    tail.lineTo(at(box, 2, 22));
    tail.lineTo(at(box, 8, 18));
    tail.closeSubpath();
    front = front.united(tail);
    QColor faded = colour;
    faded.setAlphaF(colour.alphaF() * 0.6F);
    p.fillPath(back.subtracted(front), faded);
    p.fillPath(front, colour);
}

void drawGear(QPainter& p, const QRectF& box, const QColor& colour) {
    QPainterPath gear;
    gear.addEllipse(rect(box, 5, 5, 14, 14));
    for (int tooth = 0; tooth < 8; ++tooth) {
        QPainterPath bar;
        bar.addRect(rect(box, 10, 1.5, 4, 4));
        QTransform turn;
        const QPointF centre = at(box, 12, 12);
        turn.translate(centre.x(), centre.y());
        turn.rotate(45.0 * tooth);
        turn.translate(-centre.x(), -centre.y());
        gear = gear.united(turn.map(bar));
    }
    QPainterPath hole;
    hole.addEllipse(rect(box, 9, 9, 6, 6));
    p.fillPath(gear.subtracted(hole), colour);
}

void drawChevron(QPainter& p, const QRectF& box, const QColor& colour, bool down) {
    p.setPen(QPen(colour, 3 * unit(box), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath path;
    if (down) {
        path.moveTo(at(box, 5, 8));
        path.lineTo(at(box, 12, 16));
        path.lineTo(at(box, 19, 8));
    } else {
        path.moveTo(at(box, 8, 5));
        path.lineTo(at(box, 16, 12));
        path.lineTo(at(box, 8, 19));
    }
    p.drawPath(path);
}

void drawKey(QPainter& p, const QRectF& box, const QColor& colour) {
    QPainterPath key;
    key.addEllipse(rect(box, 2, 2, 11, 11));
    QPainterPath shaft;
    shaft.moveTo(at(box, 9, 11));
    shaft.lineTo(at(box, 11, 9));
    shaft.lineTo(at(box, 22, 20));
    shaft.lineTo(at(box, 20, 22));
    shaft.closeSubpath();
    key = key.united(shaft);
    QPainterPath bit;
    bit.addRect(rect(box, 16, 17, 5, 2.5));
    QTransform turn;
    const QPointF pivot = at(box, 17, 17);
    turn.translate(pivot.x(), pivot.y());
    turn.rotate(-45);
    turn.translate(-pivot.x(), -pivot.y());
    key = key.united(turn.map(bit));
    QPainterPath hole;
    hole.addEllipse(rect(box, 4.5, 4.5, 4, 4));
    p.fillPath(key.subtracted(hole), colour);
}

void drawDocument(QPainter& p, const QRectF& box, const QColor& colour) {
    QPainterPath page;
    page.addRoundedRect(rect(box, 4, 1, 16, 22), 2 * unit(box), 2 * unit(box));
    QPainterPath lines;
    for (double y : {7.0, 11.0, 15.0}) {
        lines.addRect(rect(box, 7, y, 10, 1.6));
    }
    p.fillPath(page.subtracted(lines), colour);
}

void drawLock(QPainter& p, const QRectF& box, const QColor& colour) {
    QPainterPath body;
    body.addRoundedRect(rect(box, 4, 10, 16, 13), 2 * unit(box), 2 * unit(box));
    p.fillPath(body, colour);
    p.setPen(QPen(colour, 2.5 * unit(box)));
    p.setBrush(Qt::NoBrush);
    p.drawArc(rect(box, 7, 2, 10, 14), 0, 180 * 16);
    p.drawLine(at(box, 7, 9), at(box, 7, 10.5));
    p.drawLine(at(box, 17, 9), at(box, 17, 10.5));
}

void drawShield(QPainter& p, const QRectF& box, const QColor& colour) {
    QPainterPath shield;
    shield.moveTo(at(box, 12, 1));
    shield.lineTo(at(box, 21, 5));
    shield.cubicTo(at(box, 21, 14), at(box, 17, 20), at(box, 12, 23));
    shield.cubicTo(at(box, 7, 20), at(box, 3, 14), at(box, 3, 5));
    shield.closeSubpath();
    p.fillPath(shield, colour);
    p.setPen(QPen(Qt::white, 2.4 * unit(box), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(at(box, 7.5, 12));
    tick.lineTo(at(box, 11, 15.5));
    tick.lineTo(at(box, 16.5, 8.5));
    p.drawPath(tick);
}

void drawAppIcon(QPainter& p, const QRectF& box) {
    QPainterPath tile;
    tile.addRoundedRect(box, box.width() * 0.22, box.width() * 0.22);
    QLinearGradient gradient(box.topLeft(), box.bottomLeft());
    gradient.setColorAt(0, QColor(0xFF, 0xC8, 0x6B));
    gradient.setColorAt(1, QColor(0xFF, 0x8C, 0x78));
    p.fillPath(tile, gradient);
    drawBubbles(p, box.adjusted(box.width() * 0.2, box.height() * 0.2, -box.width() * 0.2, -box.height() * 0.2),
                Qt::white);
}

} // namespace

bool isKnownSymbol(const QString& name) {
    for (const char* known : knownSymbols) {
        if (name == QLatin1String(known)) {
            return true;
        }
    }
    return false;
}

void paintSymbol(QPainter& painter, const QRectF& box, const QString& name, const QColor& colour) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    if (name == QLatin1String("AppIcon")) {
        drawAppIcon(painter, box);
    } else if (name == QLatin1String("key.fill")) {
        drawKey(painter, box, colour);
    } else if (name == QLatin1String("person.crop.circle.fill")) {
        drawPersonCircle(painter, box, colour, true);
    } else if (name == QLatin1String("person.crop.circle")) {
        drawPersonCircle(painter, box, colour, false);
    } else if (name == QLatin1String("bubble.left.and.bubble.right.fill")) {
        drawBubbles(painter, box, colour);
    } else if (name == QLatin1String("gear")) {
        drawGear(painter, box, colour);
    } else if (name == QLatin1String("chevron.right") || name == QLatin1String("chevron.down")) {
        drawChevron(painter, box, colour, name == QLatin1String("chevron.down"));
    } else if (name == QLatin1String("doc.text.fill")) {
        drawDocument(painter, box, colour);
    } else if (name == QLatin1String("lock.fill")) {
        drawLock(painter, box, colour);
    } else if (name == QLatin1String("checkmark.shield.fill")) {
        drawShield(painter, box, colour);
    }
    painter.restore();
}

QPixmap symbolPixmap(const QString& name, int size, const QColor& colour) {
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintSymbol(painter, QRectF(0, 0, size, size), name, colour);
    return pixmap;
}

QIcon symbolIcon(const QString& name, int size, const QColor& colour) { return QIcon(symbolPixmap(name, size, colour)); }

SymbolIcon::SymbolIcon(QString name, int size, QColor colour, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), colour_(std::move(colour)) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TranslucentBackground);
}

void SymbolIcon::setName(const QString& name) {
    name_ = name;
    update();
}

void SymbolIcon::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    paintSymbol(painter, QRectF(rect()), name_, colour_);
}

} // namespace quillobrandt
