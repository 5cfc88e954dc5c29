#include "Quillobrandt/conversation/WrappedText.h"

#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

#include "platform/qt/EmojiText.h"

namespace quillobrandt {
namespace {

QString layoutText(const QString& text) {
    QString shown = text;
    for (QChar& c : shown) {
        if (c == QLatin1Char('\n')) {
            c = QChar::LineSeparator;
        } else if (c == QLatin1Char('\r')) {
            c = QLatin1Char(' ');
        }
    }
    return shown;
}

// Lays the text out at `width`; returns the size it needs.
QSizeF layOut(QTextLayout& layout, qreal width, Qt::Alignment horizontal) {
    // Lines break between the clusters of the text as given: the emoji font's layout text joins some of them.
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, layout.text());
    // Emoji draw in colour; set here so that measuring sees the same fonts as drawing. A line of emoji alone
    // still takes a text line's height.
    const platform::TextLineBox box =
        platform::useColourEmoji(layout) ? platform::textLineBox(layout.font()) : platform::TextLineBox{};
    QTextOption option(horizontal);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    qreal height = 0;
    qreal widest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max<qreal>(width, 1));
        platform::endLineAtClusterBoundary(line, clusters);
        line.setPosition(QPointF(0, height + box.drop(line)));
        height += box.heightOf(line);
        widest = std::max(widest, line.naturalTextWidth());
    }
    layout.endLayout();
    return {std::min(widest, std::max<qreal>(width, 1)), height};
}

} // namespace

QSizeF wrappedTextSize(const QString& text, const QFont& font, qreal maxWidth) {
    QTextLayout layout(layoutText(text), font);
    const QSizeF size = layOut(layout, maxWidth, Qt::AlignLeft);
    const qreal lineHeight = QFontMetricsF(font).height();
    return {std::max<qreal>(std::ceil(size.width()), 1), std::max(std::ceil(size.height()), lineHeight)};
}

QStringList wrappedTextLines(const QString& text, const QFont& font, qreal maxWidth) {
    const QString shown = layoutText(text);
    QTextLayout layout(shown, font);
    layOut(layout, maxWidth, Qt::AlignLeft);
    QStringList lines;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        QString part = shown.mid(line.textStart(), line.textLength());
        if (part.endsWith(QChar::LineSeparator)) {
            part.chop(1);
        }
        lines << part;
    }
    return lines;
}

void drawWrappedText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                     Qt::Alignment horizontal) {
    QTextLayout layout(layoutText(text), font);
    layOut(layout, rect.width(), horizontal);
    painter.save();
    painter.setFont(font);
    layout.draw(&painter, rect.topLeft());
    painter.restore();
}

} // namespace quillobrandt
