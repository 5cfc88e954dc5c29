#pragma once

#include <QFont>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>

class QPainter;

namespace quillobrandt {

// Text as the message list shows it: lines break between words, and inside a word only when that
// word alone is wider than the line. Measuring and drawing share one layout, so what is measured is
// exactly what is drawn. Line feeds break lines; carriage returns draw as spaces.
QSizeF wrappedTextSize(const QString& text, const QFont& font, qreal maxWidth);
// The lines the text breaks into at `maxWidth` (a line's text without its forced line break).
QStringList wrappedTextLines(const QString& text, const QFont& font, qreal maxWidth);
void drawWrappedText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                     Qt::Alignment horizontal = Qt::AlignLeft);

} // namespace quillobrandt
