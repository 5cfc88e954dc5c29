#include "Quillobrandt/app/FocusRing.h"

#include <QFocusEvent>
#include <QPainter>
#include <QPushButton>
#include <QWidget>

#include "Quillobrandt/app/TextContrast.h"

namespace quillobrandt {

namespace {

// Focus rings stand out from what is behind them by at least this contrast ratio.
constexpr double kFocusRingContrast = 3.0;

// Follows where the focus of one control came from and paints the ring after the control has painted itself.
class KeyboardFocusRing final : public QObject {
public:
    KeyboardFocusRing(QWidget& control, int inset, qreal radius)
        : QObject(&control), control_(control), inset_(inset), radius_(radius) {
        control.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != &control_) {
            return false;
        }
        switch (event->type()) {
        case QEvent::FocusIn: {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason) { // coming back to the window keeps what it was
                keyboard_ = reason != Qt::MouseFocusReason;
            }
            return false;
        }
        case QEvent::Paint: {
            // The control paints itself first; the ring goes on top, within the same paint.
            static_cast<QObject&>(control_).event(event);
            if (control_.hasFocus() && keyboard_) {
                QPainter painter(&control_);
                const QPalette& palette = control_.palette();
                paintFocusRing(painter, QRectF(control_.rect()).adjusted(inset_, inset_, -inset_, -inset_),
                               focusRingColour(palette, palette.color(QPalette::Window)), radius_);
            }
            return true;
        }
        default:
            return false;
        }
    }

private:
    QWidget& control_;
    int inset_;
    qreal radius_;
    // Until a click says otherwise: focus the program placed, or the window's own on its activation, is where the
    // keyboard acts.
    bool keyboard_ = true;
};

} // namespace

QColor focusRingColour(const QPalette& palette, const QColor& background) {
    const QColor ring = palette.color(QPalette::Highlight);
    if (contrastOver(ring, background, background) >= kFocusRingContrast) {
        return ring;
    }
    return palette.color(QPalette::WindowText); // a dark theme's highlight can sink into its window
}

void paintFocusRing(QPainter& painter, const QRectF& rect, const QColor& colour, qreal radius) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(1, 1, -1, -1), radius, radius);
    painter.restore();
}

void paintFocusRing(QWidget& control) {
    QPainter painter(&control);
    const QPalette& palette = control.palette();
    paintFocusRing(painter, QRectF(control.rect()), focusRingColour(palette, palette.color(QPalette::Window)));
}

void showKeyboardFocus(QWidget& control, int inset, qreal radius) {
    new KeyboardFocusRing(control, inset, radius);
}

void makeDefaultButton(QPushButton& button) {
    button.setDefault(true);
    showKeyboardFocus(button, 3); // inside the frame, which the default look keeps
}

} // namespace quillobrandt
