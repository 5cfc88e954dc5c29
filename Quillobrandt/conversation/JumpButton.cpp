#include "Quillobrandt/conversation/JumpButton.h"

#include <QPainter>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"

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
    quillobrandt::paintSymbol(painter, rect, symbolName(), accent);
}

} // namespace quillobrandt
