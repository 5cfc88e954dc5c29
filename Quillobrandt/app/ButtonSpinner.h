#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>

class QAbstractButton;
class QTimer;

namespace quillobrandt {

// One frame of a small indeterminate spinner: twelve spokes, the brightest at `step` (0-11).
QPixmap spinnerFrame(int size, int step, const QColor& colour);

// Turns a button's icon into a spinning progress indicator while started; stopping gives the icon back.
class ButtonSpinner final : public QObject {
    Q_OBJECT
public:
    explicit ButtonSpinner(QAbstractButton* button, int size = 16);

    void start();
    void stop();
    bool isSpinning() const;

private:
    void advance();

    QPointer<QAbstractButton> button_;
    int size_;
    int step_ = 0;
    QIcon savedIcon_;
    QTimer* timer_ = nullptr;
};

} // namespace quillobrandt
