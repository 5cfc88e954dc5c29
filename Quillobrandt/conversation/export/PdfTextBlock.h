#pragma once

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QSizeF>
#include <QString>
#include <QTextLayout>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace quillobrandt {

// One piece of text laid out for the PDF: word-wrapped at `widthLimit`, with `lineSpacing` extra
// points between lines. A word wider than a line is broken between grapheme clusters, never inside one (a flag
// stays a flag). Emoji clusters are set whole in the colour emoji font, so a joined sequence such as a woman
// shrugging stays one picture. Object replacement characters (U+FFFC, attachment placeholders) are not drawn.
class PdfTextBlock {
public:
    PdfTextBlock(const QString& text, const QFont& font, double widthLimit, double lineSpacing,
                 QPaintDevice* device = nullptr);

    // The widest line and the total height, in points.
    QSizeF size() const { return size_; }
    bool isEmpty() const { return text_.isEmpty(); }
    const QString& text() const { return text_; }

    // Each line as (start, length) in text() and its height.
    struct Line {
        qsizetype start;
        qsizetype length;
        double height;
    };
    const std::vector<Line>& lines() const { return lines_; }

    // Draws the block with its top-left corner at `topLeft` (Qt's coordinates), clipped to `maxHeight`
    // the way a text frame drops lines that do not fit. Nothing is drawn outside `clip` when it is given (a
    // bubble's outline), so a glyph that overhangs its line cannot run off the bubble. `stop`, when given, is asked
    // before each run of emoji, which is drawn as a picture (a millisecond or more per emoji: a page of them takes
    // seconds); once it answers true the rest is left undrawn and false returned.
    bool draw(QPainter& painter, QPointF topLeft, const QColor& colour, double maxHeight, const QRectF& clip = QRectF(),
              const std::function<bool()>& stop = {}) const;

    static QString printableText(const QString& text);
    // The height of `lines` stacked with `lineSpacing` between them.
    static double heightOf(const std::vector<Line>& lines, double lineSpacing);

    // The lines of printableText(`text`) as a block of it lays them out (without `lineSpacing`), for a text of any
    // length: laid out a slice at a time, each slice starting where the last one's final whole line ended, so
    // that `stop` is asked between slices (a few milliseconds of work) and a stopped export never waits for a
    // message of megabytes. Nothing when it stopped.
    static std::optional<std::vector<Line>> measureLines(const QString& text, const QFont& font, double widthLimit,
                                                         QPaintDevice* device, const std::function<bool()>& stop);

private:
    QString text_;
    std::unique_ptr<QTextLayout> layout_;
    std::vector<Line> lines_;
    QSizeF size_;
};

} // namespace quillobrandt
