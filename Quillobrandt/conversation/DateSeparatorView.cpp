#include "Quillobrandt/conversation/DateSeparatorView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/conversation/DayLabels.h"

namespace quillobrandt {
namespace {

constexpr double kOuterPadding = 8;     // above and below the row
constexpr double kPlateHorizontal = 12; // label padding left and right
constexpr double kPlateVertical = 5;    // label padding above and below
constexpr double kPlateRadius = 12;
constexpr double kCaptionPixelSize = 10;

QFont labelFont(const QFont& baseFont) {
    QFont font = baseFont;
    font.setPixelSize(static_cast<int>(kCaptionPixelSize));
    font.setWeight(QFont::Medium);
    return font;
}

QRectF plateRect(const QRectF& bounds, const QString& label, const QFont& font) {
    const QFontMetricsF metrics(font);
    const double width = metrics.horizontalAdvance(label) + 2 * kPlateHorizontal;
    const double height = metrics.height() + 2 * kPlateVertical;
    return {bounds.left() + (bounds.width() - width) / 2.0, bounds.top() + kOuterPadding, width, height};
}

} // namespace

DateSeparatorView::DateSeparatorView(const QDateTime& date, QWidget* parent) : QWidget(parent), date_(date) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QString DateSeparatorView::labelText() const {
    return formatSeparatorDate(date_);
}

qreal DateSeparatorView::heightFor(const QFont& baseFont) {
    return QFontMetricsF(labelFont(baseFont)).height() + 2 * kPlateVertical + 2 * kOuterPadding;
}

QSize DateSeparatorView::sizeHint() const {
    const QRectF plate = plateRect(QRectF(), labelText(), labelFont(font()));
    return {static_cast<int>(std::ceil(plate.width())) + 40, static_cast<int>(std::ceil(heightFor(font())))};
}

void DateSeparatorView::paint(QPainter& painter, const QRectF& bounds, const QDateTime& date, const QFont& baseFont,
                              const QPalette& palette) {
    const QString label = formatSeparatorDate(date);
    const QFont font = labelFont(baseFont);
    const QRectF plate = plateRect(bounds, label, font);
    const double lineY = plate.center().y() - 0.5;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QColor lineColour = style::gray();
    lineColour.setAlphaF(0.3f);
    painter.fillRect(QRectF(bounds.left(), lineY, std::max(0.0, plate.left() - bounds.left()), 1), lineColour);
    painter.fillRect(QRectF(plate.right(), lineY, std::max(0.0, bounds.right() - plate.right()), 1), lineColour);

    QPainterPath path;
    path.addRoundedRect(plate, kPlateRadius, kPlateRadius);
    painter.fillPath(path, palette.color(QPalette::Window));

    painter.setPen(style::secondaryColour(palette));
    painter.setFont(font);
    painter.drawText(plate, Qt::AlignCenter, label);
    painter.restore();
}

void DateSeparatorView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, QRectF(rect()), date_, font(), palette());
}

} // namespace quillobrandt
