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

} // namespace

DateSeparatorView::DateSeparatorView(const QDateTime& date, QWidget* parent) : QWidget(parent), date_(date) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QString DateSeparatorView::labelText() const {
    return formatSeparatorDate(date_);
}

QFont DateSeparatorView::labelFont() const {
    QFont font = this->font();
    font.setPixelSize(static_cast<int>(kCaptionPixelSize));
    font.setWeight(QFont::Medium);
    return font;
}

QRectF DateSeparatorView::plateRect() const {
    const QFontMetricsF metrics(labelFont());
    const double width = metrics.horizontalAdvance(labelText()) + 2 * kPlateHorizontal;
    const double height = metrics.height() + 2 * kPlateVertical;
    return {(this->width() - width) / 2.0, kOuterPadding, width, height};
}

QSize DateSeparatorView::sizeHint() const {
    const QRectF plate = plateRect();
    return {static_cast<int>(std::ceil(plate.width())) + 40,
            static_cast<int>(std::ceil(plate.height() + 2 * kOuterPadding))};
}

void DateSeparatorView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF plate = plateRect();
    const double lineY = plate.center().y() - 0.5;

    QColor lineColour = style::gray();
    lineColour.setAlphaF(0.3f);
    painter.fillRect(QRectF(0, lineY, std::max(0.0, plate.left()), 1), lineColour);
    painter.fillRect(QRectF(plate.right(), lineY, std::max(0.0, width() - plate.right()), 1), lineColour);

    QPainterPath path;
    path.addRoundedRect(plate, kPlateRadius, kPlateRadius);
    painter.fillPath(path, palette().color(QPalette::Window));

    painter.setPen(style::secondaryColour(this));
    painter.setFont(labelFont());
    painter.drawText(plate, Qt::AlignCenter, labelText());
}

} // namespace quillobrandt
