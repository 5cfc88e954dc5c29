#include "Quillobrandt/conversation/export/PdfTextBlock.h"

#include <QGlyphRun>
#include <QImage>
#include <QPainterPath>
#include <QRawFont>
#include <QTextBoundaryFinder>
#include <QTextOption>

#include <algorithm>

#include "platform/qt/EmojiText.h"

namespace quillobrandt {
namespace {

// Pixels per point for glyphs drawn as pictures: sharp when printed.
constexpr double kPictureScale = 4.0;

// Colour emoji fonts hold pictures instead of outlines; a PDF can only carry outlines as text, so such
// glyphs would print as nothing.
bool hasNoOutlines(const QGlyphRun& run) {
    const QRawFont font = run.rawFont();
    const auto glyphs = run.glyphIndexes();
    return !glyphs.isEmpty() && std::all_of(glyphs.begin(), glyphs.end(),
                                            [&font](quint32 glyph) { return font.pathForGlyph(glyph).isEmpty(); });
}

// Draws the run through a raster image, which paints colour glyphs, and places that image on the page.
void drawAsPicture(QPainter& painter, QPointF topLeft, const QGlyphRun& run, const QColor& colour) {
    const QRectF bounds = run.boundingRect();
    if (bounds.isEmpty()) {
        return;
    }
    QImage picture((bounds.size() * kPictureScale).toSize() + QSize(1, 1), QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    // The font itself is enlarged rather than the painter scaled: colour glyphs are not drawn under a
    // scaling transform.
    QGlyphRun enlarged = run;
    QRawFont font = run.rawFont();
    font.setPixelSize(font.pixelSize() * kPictureScale);
    enlarged.setRawFont(font);
    QList<QPointF> positions = run.positions();
    for (QPointF& position : positions) {
        position = (position - bounds.topLeft()) * kPictureScale;
    }
    enlarged.setPositions(positions);
    {
        QPainter raster(&picture);
        raster.setPen(colour);
        raster.drawGlyphRun(QPointF(0, 0), enlarged);
    }
    painter.drawImage(QRectF(topLeft + bounds.topLeft(), QSizeF(picture.size()) / kPictureScale), picture);
}

} // namespace

QString PdfTextBlock::printableText(const QString& text) {
    QString printable = text;
    printable.remove(QChar(0xFFFC));
    return printable;
}

namespace {

// UTF-16 units laid out at a time by measureLines(): a few milliseconds of work.
constexpr qsizetype kMeasureSlice = 16 * 1024;

// The layout of `laidOut` (line feeds already turned into line separators) as a block lays it out, its lines at
// their places with `lineSpacing` between them; returns the lines and the widest line's width.
std::unique_ptr<QTextLayout> layOutLines(const QString& laidOut, const QFont& font, double widthLimit,
                                         double lineSpacing, QPaintDevice* device,
                                         std::vector<PdfTextBlock::Line>& lines, double& width) {
    auto layout = std::make_unique<QTextLayout>(laidOut, font, device);
    // Every emoji sequence set whole in the colour emoji font, as on screen; lines break between the clusters of
    // the text as given.
    platform::useColourEmoji(*layout);
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, laidOut);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    double y = 0;
    width = 0;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(std::max(1.0, widthLimit));
        platform::endLineAtClusterBoundary(line, clusters);
        if (!lines.empty()) {
            y += lineSpacing;
        }
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
        lines.push_back({line.textStart(), line.textLength(), line.height()});
    }
    layout->endLayout();
    return layout;
}

QString laidOutText(const QString& printable) {
    // The layout treats line feeds as paragraph separators.
    QString laidOut = printable;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return laidOut;
}

} // namespace

PdfTextBlock::PdfTextBlock(const QString& text, const QFont& font, double widthLimit, double lineSpacing,
                           QPaintDevice* device)
    : text_(printableText(text)) {
    if (text_.isEmpty()) {
        return;
    }
    double width = 0;
    layout_ = layOutLines(laidOutText(text_), font, widthLimit, lineSpacing, device, lines_, width);
    size_ = QSizeF(std::min(std::max(0.0, width), std::max(1.0, widthLimit)), heightOf(lines_, lineSpacing));
}

double PdfTextBlock::heightOf(const std::vector<Line>& lines, double lineSpacing) {
    double height = 0;
    for (const Line& line : lines) {
        height += line.height;
    }
    return height + lineSpacing * static_cast<double>(std::max<std::size_t>(lines.size(), 1) - 1);
}

std::optional<std::vector<PdfTextBlock::Line>> PdfTextBlock::measureLines(const QString& text, const QFont& font,
                                                                          double widthLimit, QPaintDevice* device,
                                                                          const std::function<bool()>& stop) {
    const QString laidOut = laidOutText(printableText(text));
    std::vector<Line> lines;
    qsizetype start = 0;
    qsizetype slice = kMeasureSlice;
    for (bool first = true; start < laidOut.size(); first = false) {
        if (!first && stop && stop()) { // a text of one slice is measured as quickly as it is asked
            return std::nullopt;
        }
        const bool last = laidOut.size() - start <= slice;
        std::vector<Line> sliceLines;
        double width = 0;
        layOutLines(laidOut.mid(start, last ? -1 : slice), font, widthLimit, 0, device, sliceLines, width);
        if (!last && sliceLines.size() < 2) {
            slice *= 2; // one line longer than the slice: look further for its end
            continue;
        }
        // The slice's final line may have been cut by the slice's end: it is laid out again with the next slice.
        const std::size_t kept = last ? sliceLines.size() : sliceLines.size() - 1;
        for (std::size_t i = 0; i < kept; ++i) {
            lines.push_back({start + sliceLines[i].start, sliceLines[i].length, sliceLines[i].height});
        }
        if (last) {
            break;
        }
        start += sliceLines[kept].start;
        slice = kMeasureSlice;
    }
    return lines;
}

bool PdfTextBlock::draw(QPainter& painter, QPointF topLeft, const QColor& colour, double maxHeight, const QRectF& clip,
                        const std::function<bool()>& stop) const {
    if (!layout_) {
        return true;
    }
    painter.save();
    if (!clip.isNull()) {
        painter.setClipRect(clip, Qt::IntersectClip);
    }
    painter.setPen(colour);
    for (int i = 0; i < layout_->lineCount(); ++i) {
        const QTextLine line = layout_->lineAt(i);
        if (line.y() + line.height() > maxHeight + 0.5) {
            break;
        }
        // Run by run: a colour emoji run only as a picture. Handed to the PDF as text it would print as nothing,
        // and embedding it resizes the emoji font's shared face, so every emoji of the next document would be
        // measured a quarter of its width and drawn past its line and out of its bubble.
        for (const QGlyphRun& run : line.glyphRuns()) {
            if (run.rawFont().familyName() != layout_->font().family() && hasNoOutlines(run)) {
                if (stop && stop()) {
                    painter.restore();
                    return false;
                }
                drawAsPicture(painter, topLeft, run, colour);
            } else {
                painter.drawGlyphRun(topLeft, run);
            }
        }
    }
    painter.restore();
    return true;
}

} // namespace quillobrandt
