#include "Quillobrandt/conversation/export/PdfBubblePieces.h"

#include <algorithm>
#include <cmath>

#include "Quillobrandt/conversation/AttachmentMentions.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PdfTextBlock.h"

namespace quillobrandt {
namespace {

constexpr double kMinimumContinuationHeight = 60;

} // namespace

double withRoomUnderText(double measured) {
    return std::max(measured, std::ceil(measured * 1.2));
}

QString bubbleText(const Message& message) {
    QString text = message.text ? PdfTextBlock::printableText(QString::fromStdString(*message.text)) : QString();
    for (const Attachment& attachment : message.attachments) {
        if (!attachment.isImage()) {
            if (!text.isEmpty()) {
                text += QLatin1Char('\n');
            }
            text += attachmentMention(attachment);
        }
    }
    return text;
}

std::vector<PrintedImage> printedImages(const Message& message, const PdfLayoutMetrics& metrics) {
    std::vector<PrintedImage> images;
    for (const Attachment& attachment : message.attachments) {
        if (!attachment.isImage()) {
            continue;
        }
        const QString path = QString::fromStdString(attachment.filePath);
        if (const auto pixels = PDFGenerator::imagePixelSize(path)) {
            images.push_back({path, PDFGenerator::printedImageSize(*pixels, metrics), true});
        } else {
            // A picture that is gone or unreadable still shows that there was one.
            const double width = std::min(120.0, metrics.maxImageWidth);
            images.push_back({path, QSizeF(width, std::floor(width * 0.75)), false});
        }
    }
    return images;
}

std::optional<std::vector<BubblePiece>> cutIntoPieces(BubblePiece whole, const PieceRoom& room, const QFont& font,
                                                      const PdfLayoutMetrics& metrics, QPaintDevice* device,
                                                      const std::function<bool()>& stop) {
    const QString text = PdfTextBlock::printableText(whole.text);
    const auto measured = PdfTextBlock::measureLines(text, font, metrics.maxTextWidth, device, stop);
    if (!measured) {
        return std::nullopt;
    }
    const std::vector<PdfTextBlock::Line>& lines = *measured;
    double contentHeight = text.isEmpty() ? 0 : withRoomUnderText(PdfTextBlock::heightOf(lines, kPdfTextLineSpacing));
    for (const auto& image : whole.images) {
        contentHeight += metrics.contentSpacing + image.size.height();
    }
    if (contentHeight <= room.capacity) {
        return std::vector<BubblePiece>{std::move(whole)};
    }

    std::vector<BubblePiece> pieces;
    // Pieces are measured as their lines are (without the whole bubble's room under the text), so a page is
    // filled to its foot.
    const double firstLimit = (room.remaining >= kMinimumContinuationHeight ? room.remaining : room.capacity) - 1;
    const double textLimit = room.capacity - 1;
    qsizetype chunkStart = 0;
    double chunkHeight = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const double added = lines[i].height + (chunkHeight > 0 ? kPdfTextLineSpacing : 0);
        const double limit = pieces.empty() ? firstLimit : textLimit;
        if (chunkHeight > 0 && chunkHeight + added > limit) {
            pieces.push_back({text.mid(chunkStart, lines[i].start - chunkStart), {}, pieces.empty(), false, true});
            chunkStart = lines[i].start;
            chunkHeight = lines[i].height;
        } else {
            chunkHeight += added;
        }
    }
    if (chunkStart < text.size()) {
        pieces.push_back({text.mid(chunkStart), {}, pieces.empty(), false, true});
    }
    double imageHeight = 0;
    bool startPiece = true;
    for (const auto& image : whole.images) {
        const double added = metrics.contentSpacing + image.size.height();
        if (startPiece || imageHeight + added > room.capacity) {
            pieces.push_back({QString(), {}, pieces.empty(), false, true});
            imageHeight = 0;
            startPiece = false;
        }
        pieces.back().images.push_back(image);
        imageHeight += added;
    }
    for (auto& piece : pieces) {
        // A line feed that ended a piece would lay out as one more, empty line.
        while (piece.text.endsWith(QLatin1Char('\n'))) {
            piece.text.chop(1);
        }
        if (piece.text.trimmed().isEmpty()) {
            piece.text.clear();
        }
    }
    pieces.back().showTime = true;
    return pieces;
}

} // namespace quillobrandt
