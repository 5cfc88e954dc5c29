#pragma once

#include <QAbstractButton>

namespace quillobrandt {

// One of the two round jump buttons over the message list: the arrow symbol in the accent colour on
// a disc of the window colour, so it never draws over a bubble's text.
class JumpButton final : public QAbstractButton {
    Q_OBJECT
public:
    enum class Direction { up, down };

    static constexpr int symbolSize = 32; // the symbol's size in pixels
    static constexpr int discInset = 4;   // the disc reaches this far beyond the symbol

    JumpButton(Direction direction, QWidget* parent = nullptr);

    Direction direction() const { return direction_; }
    // The symbol's name: "arrow.up.circle.fill" or "arrow.down.circle.fill".
    QString symbolName() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintSymbol(QPainter& painter, const QRectF& rect) const;

    Direction direction_;
};

} // namespace quillobrandt
