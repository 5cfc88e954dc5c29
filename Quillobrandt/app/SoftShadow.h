#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

namespace quillobrandt {

// A blurred shadow beneath a rounded card, drawn by a sibling that follows the card's place, size and visibility.
// Cards holding live controls use this rather than a QGraphicsDropShadowEffect: an effect draws its widget
// through a cached picture, and a child's immediate repaint (a progress bar's setValue) then never reaches the
// screen.
class SoftShadow final : public QWidget {
public:
    // Puts a shadow under `card`, which must have a parent (the shadow's parent and owner).
    static SoftShadow* attach(QWidget* card, QColor colour, qreal cornerRadius, int blurRadius);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    SoftShadow(QWidget* card, QColor colour, qreal cornerRadius, int blurRadius);
    void follow();

    QWidget* card_;
    QColor colour_;
    qreal cornerRadius_;
    int blurRadius_;
    QImage picture_; // the blurred shape for the card's present size
};

} // namespace quillobrandt
