#pragma once

#include <QList>
#include <QString>
#include <QTextLayout>

#include <algorithm>
#include <vector>

class QFont;
class QTextBoundaryFinder;
class QPainter;
class QRectF;

namespace platform {

struct TextRun {
    int start = 0; // in UTF-16 code units
    int length = 0;

    bool operator==(const TextRun&) const = default;
};

// The stretches of `text` that must be drawn as colour emoji: a pictograph asking for emoji presentation
// (U+FE0F) or emoji by default, keycaps, skin-tone modifiers, flags, tag sequences and whole ZWJ sequences.
// A text presentation selector (U+FE0E) keeps its character in the text font, as do bare digits, '#' and '*'.
// Adjacent sequences share one run.
std::vector<TextRun> emojiRuns(const QString& text);

// Prepares `layout` (its text and font set, not yet laid out; once) to draw the emoji runs of its text in colour:
// the colour emoji font goes before the layout font's own families there. Fallback alone would draw a heart
// with U+FE0F from the text font in monochrome. Inside those runs a U+FE0F that a joiner or a keycap mark follows
// is laid out as a joiner, which the emoji font treats alike: this Qt takes the selector from the text font,
// which splits keycaps and joined sequences the emoji font would draw as one picture. A selector that ends its
// sequence stays, so that neighbouring sequences are never joined into one that no line could break.
// Nothing changes when the emoji font is not installed. Returns whether the text has emoji to draw so.
bool useColourEmoji(QTextLayout& layout);

// Where a line of a layout ends when it broke inside a grapheme cluster of `clusters` (a finder over the text as it
// was before useColourEmoji()): at the start of that cluster, or, when one cluster is wider than the line, at its
// end. Call after QTextLine::setLineWidth(). A flag, a keycap or a joined emoji is never cut in two.
void endLineAtClusterBoundary(QTextLine& line, QTextBoundaryFinder& clusters);

// A line of plain text in `font`: its ascent and height. A line of emoji alone takes the emoji font's metrics,
// which are shorter; laying such a line out in this box keeps line spacing even and baselines in place. An
// empty box leaves lines as they are.
struct TextLineBox {
    qreal ascent = 0;
    qreal height = 0;

    // How far below the top of its box `line` goes so its baseline sits where text's would.
    qreal drop(const QTextLine& line) const { return std::max<qreal>(0, ascent - line.ascent()); }
    // The height `line` takes: at least a text line's.
    qreal heightOf(const QTextLine& line) const { return std::max(drop(line) + line.height(), height); }
};
TextLineBox textLineBox(const QFont& font);

// Draws one line of `text` in `rect`, elided at the right when it is wider, with emoji in colour.
// `vertical` is Qt::AlignTop or Qt::AlignVCenter.
void drawElidedLine(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                    Qt::Alignment vertical);

} // namespace platform
