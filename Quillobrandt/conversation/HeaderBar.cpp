#include "Quillobrandt/conversation/HeaderBar.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>

namespace quillobrandt {

namespace {

constexpr QMargins kMargins{16, 12, 16, 12};
constexpr int kSpacing = 16;
constexpr int kLineSpacing = 8;

} // namespace

void HeaderBar::setParts(QWidget* title, QWidget* controls, QWidget* close) {
    title_ = title;
    controls_ = controls;
    close_ = close;
}

QSize HeaderBar::sizeHint() const {
    return {oneLineWidth() - title_->minimumSizeHint().width() + title_->sizeHint().width(),
            heightForWidth(oneLineWidth())};
}

QSize HeaderBar::minimumSizeHint() const {
    const int top = title_->minimumSizeHint().width() + kSpacing + close_->sizeHint().width();
    // As low as one line: how tall it is depends on the width it gets (heightForWidth).
    return {kMargins.left() + kMargins.right() + std::max(top, controls_->minimumSizeHint().width()),
            heightForWidth(oneLineWidth())};
}

int HeaderBar::heightForWidth(int width) const {
    const int titleLine = std::max(title_->sizeHint().height(), close_->sizeHint().height());
    const int lines = fitsOneLine(width) ? std::max(titleLine, controls_->sizeHint().height())
                                         : titleLine + kLineSpacing + controls_->sizeHint().height();
    return kMargins.top() + lines + kMargins.bottom();
}

bool HeaderBar::event(QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) {
        updateGeometry(); // the controls changed (edit mode, a count on a button): the view lays out anew
        arrange();
    }
    return QWidget::event(event);
}

void HeaderBar::resizeEvent(QResizeEvent* event) {
    arrange();
    QWidget::resizeEvent(event);
}

int HeaderBar::oneLineWidth() const {
    return kMargins.left() + title_->minimumSizeHint().width() + kSpacing + controls_->sizeHint().width() + kSpacing +
           close_->sizeHint().width() + kMargins.right();
}

void HeaderBar::arrange() {
    if (title_ == nullptr) {
        return;
    }
    const QRect inside = rect().marginsRemoved(kMargins);
    const QSize close = close_->sizeHint();
    // Every title where they fit, else the controls as tight as they go (the toolbar's symbols alone).
    QSize controls = controls_->sizeHint();
    if (controls.width() > inside.width()) {
        controls.setWidth(controls_->minimumSizeHint().width());
    }
    const auto centredOn = [](const QRect& line, QSize size, int right) {
        return QRect(QPoint(right - size.width(), line.top() + (line.height() - size.height()) / 2), size);
    };
    const int titleHeight = std::min(title_->sizeHint().height(), inside.height());
    if (fitsOneLine(width())) {
        const QRect closeRect = centredOn(inside, close, inside.right() + 1);
        const QRect controlsRect = centredOn(inside, controls, closeRect.left() - kSpacing);
        close_->setGeometry(closeRect);
        controls_->setGeometry(controlsRect);
        title_->setGeometry(QRect(inside.left(), inside.top() + (inside.height() - titleHeight) / 2,
                                  controlsRect.left() - kSpacing - inside.left(), titleHeight));
        return;
    }
    const QRect top(inside.topLeft(), QSize(inside.width(), std::max(titleHeight, close.height())));
    const QRect closeRect = centredOn(top, close, top.right() + 1);
    close_->setGeometry(closeRect);
    title_->setGeometry(QRect(top.left(), top.top() + (top.height() - titleHeight) / 2,
                              closeRect.left() - kSpacing - top.left(), titleHeight));
    const QRect second(QPoint(inside.left(), top.bottom() + 1 + kLineSpacing), QPoint(inside.right(), inside.bottom()));
    controls_->setGeometry(centredOn(second, controls, second.right() + 1));
}

TitleLabel::TitleLabel(QWidget* parent) : QLabel(parent) {
    setProperty("elidesText", true);
}

QSize TitleLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

void TitleLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}

} // namespace quillobrandt
