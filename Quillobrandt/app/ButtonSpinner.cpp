#include "Quillobrandt/app/ButtonSpinner.h"

#include <QAbstractButton>
#include <QPainter>
#include <QTimer>

namespace quillobrandt {

QPixmap spinnerFrame(int size, int step, const QColor& colour) {
    constexpr int spokes = 12;
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(size / 2.0, size / 2.0);
    const double outer = size / 2.0;
    for (int spoke = 0; spoke < spokes; ++spoke) {
        QColor shade = colour;
        const int age = (step - spoke + spokes) % spokes;
        shade.setAlphaF(1.0F - static_cast<float>(age) / spokes * 0.85F);
        painter.setPen(QPen(shade, size / 9.0, Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(360.0 / spokes * spoke);
        painter.drawLine(QPointF(0, -outer * 0.45), QPointF(0, -outer * 0.9));
        painter.restore();
    }
    return pixmap;
}

ButtonSpinner::ButtonSpinner(QAbstractButton* button, int size)
    : QObject(button), button_(button), size_(size), timer_(new QTimer(this)) {
    timer_->setInterval(80);
    connect(timer_, &QTimer::timeout, this, &ButtonSpinner::advance);
}

void ButtonSpinner::start() {
    if (timer_->isActive() || !button_) {
        return;
    }
    savedIcon_ = button_->icon();
    step_ = 0;
    advance();
    timer_->start();
}

void ButtonSpinner::stop() {
    if (!timer_->isActive()) {
        return;
    }
    timer_->stop();
    if (button_) {
        button_->setIcon(savedIcon_);
    }
}

bool ButtonSpinner::isSpinning() const {
    return timer_->isActive();
}

void ButtonSpinner::advance() {
    if (!button_) {
        return;
    }
    // A spinning button is disabled while its work runs; the spinner keeps full strength there, or the only sign of
    // that work would be a faint gray: drawn in an enabled button's text colour, not the disabled palette's gray.
    const QPixmap frame = spinnerFrame(size_, step_, button_->palette().color(QPalette::Active, QPalette::ButtonText));
    QIcon icon(frame);
    icon.addPixmap(frame, QIcon::Disabled);
    button_->setIcon(icon);
    step_ = (step_ + 1) % 12;
}

} // namespace quillobrandt
