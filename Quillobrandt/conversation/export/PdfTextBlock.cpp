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
    // Every emoji sequence set whole in the colour emoji font, as on screen; lines break between the clusters of
    // the text as given.
    platform::useColourEmoji(*layout_);
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
        platform::endLineAtClusterBoundary(line, clusters);
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
