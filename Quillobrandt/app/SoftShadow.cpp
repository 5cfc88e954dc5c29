#include "Quillobrandt/app/SoftShadow.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <vector>

namespace quillobrandt {
namespace {

// One box blur of the alpha channel along rows (`horizontal`) or columns, `reach` pixels each side.
void boxBlur(QImage& image, int reach, bool horizontal) {
    const int lines = horizontal ? image.height() : image.width();
    const int length = horizontal ? image.width() : image.height();
    const int span = 2 * reach + 1;
    std::vector<int> alpha(static_cast<std::size_t>(length));
    auto pixel = [&](int line, int at) -> QRgb* {
        const int x = horizontal ? at : line;
        const int y = horizontal ? line : at;
        return reinterpret_cast<QRgb*>(image.scanLine(y)) + x;
    };
    for (int line = 0; line < lines; ++line) {
        for (int at = 0; at < length; ++at) {
            alpha[static_cast<std::size_t>(at)] = qAlpha(*pixel(line, at));
        }
        int sum = 0;
        for (int at = -reach - 1; at < reach; ++at) {
            sum += (at >= 0 && at < length) ? alpha[static_cast<std::size_t>(at)] : 0;
        }
        for (int at = 0; at < length; ++at) {
            const int entering = at + reach;
            const int leaving = at - reach - 1;
            sum += entering < length ? alpha[static_cast<std::size_t>(entering)] : 0;
            sum -= leaving >= 0 ? alpha[static_cast<std::size_t>(leaving)] : 0;
            *pixel(line, at) = qRgba(0, 0, 0, sum / span); // premultiplied black: only the shape matters here
        }
    }
}

// The card's rounded shape in `colour`, blurred three times over (close to a Gaussian), `margin` on each side.
QImage blurredShape(QSize card, int margin, qreal cornerRadius, int blurRadius, QColor colour) {
    QImage shape(card + QSize(2 * margin, 2 * margin), QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    QPainter painter(&shape);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(margin, margin, card.width(), card.height()), cornerRadius, cornerRadius);
    painter.fillPath(path, Qt::black);
    painter.end();
    const int reach = std::max(1, blurRadius / 3);
    for (int pass = 0; pass < 3; ++pass) {
        boxBlur(shape, reach, true);
        boxBlur(shape, reach, false);
    }
    painter.begin(&shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(shape.rect(), colour);
    return shape;
}

} // namespace

SoftShadow* SoftShadow::attach(QWidget* card, QColor colour, qreal cornerRadius, int blurRadius) {
    return new SoftShadow(card, colour, cornerRadius, blurRadius);
}

SoftShadow::SoftShadow(QWidget* card, QColor colour, qreal cornerRadius, int blurRadius)
    : QWidget(card->parentWidget()), card_(card), colour_(colour), cornerRadius_(cornerRadius),
      blurRadius_(std::max(blurRadius, 1)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    card_->installEventFilter(this);
    follow();
}

bool SoftShadow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == card_) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::ShowToParent: // sent even while the window is not shown yet, unlike Show and Hide
        case QEvent::HideToParent:
            follow();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SoftShadow::follow() {
    setGeometry(card_->geometry().adjusted(-blurRadius_, -blurRadius_, blurRadius_, blurRadius_));
    // Hidden with the card itself; the card's parent hiding takes the shadow along by itself.
    setVisible(card_->isVisibleTo(parentWidget()));
    stackUnder(card_);
}

void SoftShadow::paintEvent(QPaintEvent*) {
    const QSize card = card_->size();
    if (card.isEmpty()) {
        return;
    }
    if (picture_.size() != card + QSize(2 * blurRadius_, 2 * blurRadius_)) {
        picture_ = blurredShape(card, blurRadius_, cornerRadius_, blurRadius_, colour_);
    }
    QPainter painter(this);
    painter.drawImage(0, 0, picture_);
}

} // namespace quillobrandt
