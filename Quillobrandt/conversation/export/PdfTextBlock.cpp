#include "Quillobrandt/conversation/export/PdfTextBlock.h"

#include <QFontDatabase>
#include <QGlyphRun>
#include <QImage>
#include <QPainterPath>
#include <QRawFont>
#include <QTextBoundaryFinder>
#include <QTextCharFormat>
#include <QTextOption>

#include <algorithm>

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

const QString& emojiFamily() {
    static const QString family = [] {
        const QString noto = QStringLiteral("Noto Color Emoji");
        return QFontDatabase::families().contains(noto) ? noto : QString();
    }();
    return family;
}

// Code points that make a grapheme cluster an emoji sequence: the joiner, the emoji presentation selector, skin
// tones, regional indicators (flags), the keycap mark and tag characters (subdivision flags); or a first code
// point in the emoji planes.
bool isEmojiCluster(QStringView cluster) {
    bool first = true;
    for (const char32_t c : cluster.toUcs4()) {
        if (c == 0x200D || c == 0xFE0F || c == 0x20E3 || (c >= 0x1F3FB && c <= 0x1F3FF) ||
            (c >= 0x1F1E6 && c <= 0x1F1FF) || (c >= 0xE0020 && c <= 0xE007F) || (first && c >= 0x1F000)) {
            return true;
        }
        first = false;
    }
    return false;
}

// Every emoji cluster set in the colour emoji font as a whole. Left to font fallback, a cluster such as
// shrug + joiner + female sign is split between fonts, since the text font has a female sign of its own.
QList<QTextLayout::FormatRange> emojiFormats(const QString& text) {
    QList<QTextLayout::FormatRange> ranges;
    if (emojiFamily().isEmpty()) {
        return ranges;
    }
    QTextCharFormat format;
    format.setFontFamilies(QStringList{emojiFamily()});
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; start = end, end = finder.toNextBoundary()) {
        if (!isEmojiCluster(QStringView(text).mid(start, end - start))) {
            continue;
        }
        if (!ranges.isEmpty() && ranges.back().start + ranges.back().length == start) {
            ranges.back().length += static_cast<int>(end - start);
        } else {
            ranges.push_back({static_cast<int>(start), static_cast<int>(end - start), format});
        }
    }
    return ranges;
}

// A line that ends inside a grapheme cluster (a word broken for want of room) is shortened to the cluster's
// start, or, when one cluster is wider than the line, extended to its end.
void endAtClusterBoundary(QTextLine& line, QTextBoundaryFinder& finder) {
    const qsizetype start = line.textStart();
    const qsizetype end = start + line.textLength();
    finder.setPosition(end);
    if (finder.isAtBoundary()) {
        return;
    }
    qsizetype boundary = finder.toPreviousBoundary();
    if (boundary <= start) {
        finder.setPosition(end);
        boundary = finder.toNextBoundary();
    }
    if (boundary > start) {
        line.setNumColumns(static_cast<int>(boundary - start));
    }
}

} // namespace

QString PdfTextBlock::printableText(const QString& text) {
    QString printable = text;
    printable.remove(QChar(0xFFFC));
    return printable;
}

PdfTextBlock::PdfTextBlock(const QString& text, const QFont& font, double widthLimit, double lineSpacing,
                           QPaintDevice* device)
    : text_(printableText(text)) {
    if (text_.isEmpty()) {
        return;
    }
    // The layout treats line feeds as paragraph separators.
    QString laidOut = text_;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    layout_ = std::make_unique<QTextLayout>(laidOut, font, device);
    layout_->setFormats(emojiFormats(laidOut));
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, laidOut);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout_->setTextOption(option);
    layout_->setCacheEnabled(true);

    double y = 0;
    double width = 0;
    layout_->beginLayout();
    for (;;) {
        QTextLine line = layout_->createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(std::max(1.0, widthLimit));
        endAtClusterBoundary(line, clusters);
        if (!lines_.empty()) {
            y += lineSpacing;
        }
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
        lines_.push_back({line.textStart(), line.textLength(), line.height()});
    }
    layout_->endLayout();
    size_ = QSizeF(std::min(std::max(0.0, width), std::max(1.0, widthLimit)), y);
}

void PdfTextBlock::draw(QPainter& painter, QPointF topLeft, const QColor& colour, double maxHeight,
                        const QRectF& clip) const {
    if (!layout_) {
        return;
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
                drawAsPicture(painter, topLeft, run, colour);
            } else {
                painter.drawGlyphRun(topLeft, run);
            }
        }
    }
    painter.restore();
}

} // namespace quillobrandt
