#include "Quillobrandt/conversation/WrappedText.h"

#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

#include "platform/qt/EmojiText.h"

namespace quillobrandt {
namespace {

// Texts at least this long are laid out once for each font and width, and drawn by the lines that show: a message
// of megabytes takes a second to lay out, and a list asks for its size and paints it again at every scroll step.
constexpr qsizetype kLongText = 20'000;
// How many long texts keep their lines; a list shows few of them at once.
constexpr std::size_t kLongTextsKept = 4;

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

// Where one line lies in the text, and the band it takes from the top of the block.
struct LinePlace {
    qsizetype start = 0;
    qsizetype length = 0;
    qreal top = 0;
    qreal bottom = 0;
};

// Lays the text out at `width`; returns the size it needs. Each line's place goes to `places` when given. The
// direction, unless given, is that of the text's first letter that has one.
QSizeF layOut(QTextLayout& layout, qreal width, Qt::Alignment horizontal, std::vector<LinePlace>* places = nullptr,
              Qt::LayoutDirection direction = Qt::LayoutDirectionAuto) {
    // Lines break between the clusters of the text as given: the emoji font's layout text joins some of them.
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, layout.text());
    // Emoji draw in colour; set here so that measuring sees the same fonts as drawing. A line of emoji alone
    // still takes a text line's height.
    const platform::TextLineBox box =
        platform::useColourEmoji(layout) ? platform::textLineBox(layout.font()) : platform::TextLineBox{};
    QTextOption option(horizontal);
    option.setTextDirection(direction);
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
        const qreal top = height;
        height += box.heightOf(line);
        widest = std::max(widest, line.naturalTextWidth());
        if (places != nullptr) {
            places->push_back({line.textStart(), line.textLength(), top, height});
        }
    }
    layout.endLayout();
    return {std::min(widest, std::max<qreal>(width, 1)), height};
}

// A long text's lines at one font and width.
struct LongTextLines {
    QString text; // as given; held, so that its characters stay where they are and identify it cheaply
    QString fontKey;
    qreal width = 0;
    QSizeF size;
    std::vector<LinePlace> places;
};

// The lines of a long text, laid out on the first request and kept for the next ones. Per thread: the list asks on
// the GUI thread, and nothing here is shared.
const LongTextLines& longTextLines(const QString& text, const QFont& font, qreal width) {
    thread_local std::deque<LongTextLines> kept; // the most recently used first
    const QString fontKey = font.key();
    const auto found = std::find_if(kept.begin(), kept.end(), [&](const LongTextLines& lines) {
        return lines.width == width && lines.text.size() == text.size() && lines.fontKey == fontKey &&
               (lines.text.constData() == text.constData() || lines.text == text);
    });
    if (found != kept.end()) {
        std::rotate(kept.begin(), found, found + 1);
        return kept.front();
    }
    LongTextLines lines{text, fontKey, width, {}, {}};
    QTextLayout layout(layoutText(text), font);
    lines.size = layOut(layout, width, Qt::AlignLeft, &lines.places);
    kept.push_front(std::move(lines));
    if (kept.size() > kLongTextsKept) {
        kept.pop_back();
    }
    return kept.front();
}

// The part of the painter's coordinates that can reach its device: a list paints a row of megabytes through a
// window of a few hundred pixels. Empty when it cannot tell.
QRectF reachableArea(const QPainter& painter) {
    const QPaintDevice* device = painter.device();
    if (device == nullptr || !painter.worldTransform().isInvertible()) {
        return {};
    }
    // A device's size in pixels is at least its size in the painter's units: never less than what shows.
    QRectF area = painter.worldTransform().inverted().mapRect(QRectF(0, 0, device->width(), device->height()));
    if (painter.hasClipping()) {
        area = area.intersected(painter.clipBoundingRect());
    }
    return area;
}

} // namespace

QSizeF wrappedTextSize(const QString& text, const QFont& font, qreal maxWidth) {
    QSizeF size;
    if (text.size() >= kLongText) {
        size = longTextLines(text, font, maxWidth).size;
    } else {
        QTextLayout layout(layoutText(text), font);
        size = layOut(layout, maxWidth, Qt::AlignLeft);
    }
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
    QString shown;
    QPointF origin = rect.topLeft();
    Qt::LayoutDirection direction = Qt::LayoutDirectionAuto;
    const QRectF reachable = text.size() >= kLongText ? reachableArea(painter) : QRectF();
    if (reachable.isValid()) {
        // Only the lines that reach the device, laid out again from the first one's start: lines end where they
        // ended in the whole text, each laid out as it was there.
        const std::vector<LinePlace>& places = longTextLines(text, font, rect.width()).places;
        const qreal from = reachable.top() - rect.top();
        const qreal to = reachable.bottom() - rect.top();
        const auto first = std::upper_bound(places.begin(), places.end(), from,
                                            [](qreal y, const LinePlace& s) { return y < s.bottom; });
        const auto last =
            std::lower_bound(first, places.end(), to, [](const LinePlace& s, qreal y) { return s.top < y; });
        if (first == last) {
            return;
        }
        const LinePlace& end = *(last - 1);
        shown = layoutText(text.mid(first->start, end.start + end.length - first->start));
        origin.ry() += first->top;
        // The whole text's direction, which the lines shown may not start with.
        direction = text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
    } else {
        shown = layoutText(text);
    }
    QTextLayout layout(shown, font);
    layOut(layout, rect.width(), horizontal, nullptr, direction);
    painter.save();
    painter.setFont(font);
    layout.draw(&painter, origin);
    painter.restore();
}

} // namespace quillobrandt
