#include "Quillobrandt/conversation/JumpButton.h"

#include <QPainter>
#include <QPainterPath>

#include "Quillobrandt/app/Style.h"

namespace quillobrandt {

JumpButton::JumpButton(Direction direction, QWidget* parent) : QAbstractButton(parent), direction_(direction) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(sizeHint());
}

QString JumpButton::symbolName() const {
    return direction_ == Direction::up ? QStringLiteral("arrow.up.circle.fill")
                                       : QStringLiteral("arrow.down.circle.fill");
}

QSize JumpButton::sizeHint() const {
    return {symbolSize + 2 * discInset, symbolSize + 2 * discInset};
}

void JumpButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawEllipse(QRectF(rect()));
    paintSymbol(painter, QRectF(rect()).adjusted(discInset, discInset, -discInset, -discInset));
}

void JumpButton::paintSymbol(QPainter& painter, const QRectF& rect) const {
    QColor accent = style::accent();
    if (isDown()) {
        accent = accent.darker(120);
    }
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(accent);
    painter.drawEllipse(rect);

    // A white arrow: shaft and head, pointing up (or mirrored to point down).
    const qreal s = rect.width();
    QPainterPath arrow;
    arrow.moveTo(0, -0.28 * s);
    arrow.lineTo(0.22 * s, -0.04 * s);
    arrow.moveTo(0, -0.28 * s);
    arrow.lineTo(-0.22 * s, -0.04 * s);
    arrow.moveTo(0, -0.26 * s);
    arrow.lineTo(0, 0.28 * s);
    painter.translate(rect.center());
    if (direction_ == Direction::down) {
        painter.scale(1, -1);
    }
    QPen pen(Qt::white, 0.09 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arrow);
    painter.restore();
}

} // namespace quillobrandt
