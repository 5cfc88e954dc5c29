#pragma once

#include <QDateTime>
#include <QWidget>

class QPainter;

namespace quillobrandt {

// The day header between messages of different days: a thin line, the day label on a rounded
// plate, another thin line. `date` is any instant of that day; two headers are equal only when
// their instants are equal, so a row that keeps its header is not redrawn.
class DateSeparatorView : public QWidget {
    Q_OBJECT
public:
    explicit DateSeparatorView(const QDateTime& date, QWidget* parent = nullptr);

    const QDateTime& date() const { return date_; }
    QString labelText() const;
    bool sameHeaderAs(const DateSeparatorView& other) const { return date_ == other.date_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // The header's drawing, shared with the message list, which paints rows rather than holding
    // widgets. `baseFont` is the widget font the label is derived from; `palette` gives the plate's
    // window colour and the label's text colour.
    static qreal heightFor(const QFont& baseFont);
    static void paint(QPainter& painter, const QRectF& bounds, const QDateTime& date, const QFont& baseFont,
                      const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QDateTime date_;
};

} // namespace quillobrandt
