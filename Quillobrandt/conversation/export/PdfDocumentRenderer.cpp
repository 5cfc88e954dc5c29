#include "Quillobrandt/conversation/export/PdfDocumentRenderer.h"

#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>

#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/conversation/export/ImageSource.h"

namespace quillobrandt {
namespace {

constexpr double kLabelInset = 14;
constexpr double kLabelExtraHeight = 6;
constexpr double kHeaderLineOffset = 8;
constexpr double kHeaderLineGap = 8;
constexpr double kPageNumberBaseY = 25;
constexpr double kPageNumberFontSize = 10;
constexpr double kPageNumberGap = 6; // between the lowest content and the page number's top
constexpr double kTimeRectWidth = 200;
constexpr double kTimeRectHeight = 12;

// The system gray darkened to 4.9:1 on white, so small labels stay readable on paper; the hue stays.
const QColor& labelGray() {
    static const QColor gray(0x70, 0x70, 0x75);
    return gray;
}

QColor lineGray() {
    QColor gray = labelGray();
    gray.setAlphaF(0.3f);
    return gray;
}

} // namespace

PdfDocumentRenderer::PdfDocumentRenderer(QPdfWriter& writer, QPainter& painter, const PDFSettings& settings,
                                         bool groupConversation, const ParticipantNamer& namer,
                                         const PDFStopRequest& stop)
    : writer_(writer), painter_(painter), settings_(settings), m_(PdfLayoutMetrics::forSettings(settings)),
      colors_(bubbleColors(settings)), messageFont_(PDFGenerator::fontForStyle(settings.fontStyle, m_.messageFontSize)),
      smallFont_(PDFGenerator::fontForStyle(settings.fontStyle, m_.smallFontSize)),
      headerFont_(PDFGenerator::fontForStyle(PDFFontStyle::system, m_.headerFontSize)),
      pageNumberFont_(PDFGenerator::fontForStyle(PDFFontStyle::system, kPageNumberFontSize)),
      groupConversation_(groupConversation), namer_(namer), stop_(stop), bottom_(m_.margin), y_(m_.top) {
    headerFont_.setWeight(QFont::Medium);
    if (settings_.includePageNumbers) {
        // Content stays above the number's top plus a gap, whatever the margin.
        const double numberHeight =
            PdfTextBlock(QStringLiteral("0"), pageNumberFont_, m_.pageWidth, 0, &writer_).size().height();
        bottom_ = std::max(bottom_, kPageNumberBaseY + numberHeight + kPageNumberGap);
    }
}

bool PdfDocumentRenderer::beginFirstPage() {
    if (stopRequested()) {
        return false;
    }
    drawPageNumberIfWanted();
    return true;
}

void PdfDocumentRenderer::render(const Message& message, const QDateTime& date, bool newDay) {
    std::vector<BubblePiece> pieces;
    if (newDay) {
        // A day header goes with the first bubble of its day: when that bubble must start the next page, the
        // header starts it too, instead of being left alone at this page's foot.
        const double header = m_.headerHeight + kHeaderLineGap;
        y_ -= header;
        pieces = piecesOf(message);
        if (pieces.empty()) {
            return; // stopped
        }
        const bool fits = y_ - measure(message, pieces.front()).height() >= bottom_;
        y_ += header;
        if (!fits && y_ < m_.top) {
            if (!newPage()) {
                return;
            }
            y_ -= header; // the first piece may now take more of the page
            pieces = piecesOf(message);
            y_ += header;
            if (pieces.empty()) {
                return;
            }
        }
        drawDayHeader(date);
    } else {
        pieces = piecesOf(message);
    }
    for (const BubblePiece& piece : pieces) {
        if (stopped_) {
            return;
        }
        drawPiece(message, date, piece);
    }
}

bool PdfDocumentRenderer::stopRequested() {
    if (!stopped_ && stop_ && stop_()) {
        stopped_ = true;
    }
    return stopped_;
}

bool PdfDocumentRenderer::newPage() {
    if (stopRequested()) {
        return false;
    }
    writer_.newPage();
    ++page_;
    y_ = m_.top;
    drawPageNumberIfWanted();
    return true;
}

void PdfDocumentRenderer::drawPageNumberIfWanted() {
    if (!settings_.includePageNumbers) {
        return;
    }
    const PdfTextBlock number(QString::number(page_), pageNumberFont_, m_.pageWidth, 0, &writer_);
    const QSizeF size = number.size();
    const QRectF rect = toPage((m_.pageWidth - size.width()) * 0.5, kPageNumberBaseY, size.width(), size.height());
    number.draw(painter_, rect.topLeft(), labelGray(), size.height());
}

void PdfDocumentRenderer::drawDayHeader(const QDateTime& date) {
    double headerY = y_ - m_.headerHeight;
    if (headerY < bottom_) {
        if (!newPage()) {
            return;
        }
        headerY = m_.top - m_.headerHeight;
    }
    const PdfTextBlock text(formatSeparatorDate(date), headerFont_, m_.contentWidth, 0, &writer_);
    const QSizeF size = text.size();
    const double textX = m_.leftMargin + (m_.contentWidth - size.width()) * 0.5;
    const double lineY = m_.pageHeight - (headerY + kHeaderLineOffset);

    painter_.save();
    painter_.setPen(QPen(lineGray(), 0.5));
    painter_.drawLine(QPointF(m_.leftMargin, lineY), QPointF(textX - kHeaderLineGap, lineY));
    painter_.drawLine(QPointF(textX + size.width() + kHeaderLineGap, lineY),
                      QPointF(m_.leftMargin + m_.contentWidth, lineY));
    painter_.restore();

    text.draw(painter_, toPage(textX, headerY, size.width(), size.height()).topLeft(), labelGray(), size.height());
    y_ = headerY - kHeaderLineGap;
}

double PdfDocumentRenderer::labelHeight(const Message& message, const BubblePiece& piece) const {
    if (!groupConversation_ || !piece.showLabel) {
        return 0;
    }
    return PdfTextBlock(senderName(message), smallFont_, m_.contentWidth, 0, &writer_).size().height() +
           kLabelExtraHeight;
}

QString PdfDocumentRenderer::senderName(const Message& message) const {
    if (message.isFromMe) {
        return QStringLiteral("Me");
    }
    const QString handle = QString::fromStdString(message.sender);
    if (namer_) {
        const QString name = namer_(handle);
        if (!name.isEmpty()) {
            return name;
        }
    }
    return handle;
}

std::vector<BubblePiece> PdfDocumentRenderer::piecesOf(const Message& message) {
    BubblePiece whole;
    whole.text = bubbleText(message);
    whole.images = printedImages(message, m_);
    const double around = belowBubble() + labelHeight(message, whole) + 2 * m_.bubblePadding;
    const PieceRoom room{m_.top - bottom_ - around, y_ - bottom_ - around};
    auto pieces = cutIntoPieces(std::move(whole), room, messageFont_, m_, &writer_, [this] { return stopRequested(); });
    return pieces ? std::move(*pieces) : std::vector<BubblePiece>{};
}

PdfDocumentRenderer::PieceLayout PdfDocumentRenderer::measure(const Message& message, const BubblePiece& piece) const {
    const double padding = m_.bubblePadding;
    const bool showLabel = groupConversation_ && piece.showLabel;
    PieceLayout layout{
        PdfTextBlock(piece.text, messageFont_, m_.maxTextWidth, kPdfTextLineSpacing, &writer_),
        PdfTextBlock(showLabel ? senderName(message) : QString(), smallFont_, m_.contentWidth, 0, &writer_)};
    // A whole bubble keeps the designed fifth of room under its text; a piece of a split message is a page of
    // lines, where that fifth would be a band of empty bubble on every page.
    if (!layout.text.isEmpty()) {
        layout.textHeight =
            piece.split ? std::ceil(layout.text.size().height()) : withRoomUnderText(layout.text.size().height());
    }
    layout.textWidth = layout.text.isEmpty() ? 0 : layout.text.size().width();
    double contentHeight = layout.textHeight;
    double contentWidth = layout.textWidth;
    for (const auto& image : piece.images) {
        contentHeight += m_.contentSpacing + image.size.height();
        contentWidth = std::max(contentWidth, image.size.width());
    }
    layout.bubbleWidth = std::min(2 * padding + contentWidth, m_.maxBubbleWidth);
    layout.bubbleHeight = 2 * padding + contentHeight;
    layout.labelHeight = showLabel ? layout.label.size().height() + kLabelExtraHeight : 0;
    layout.below = belowBubble();
    return layout;
}

void PdfDocumentRenderer::drawPiece(const Message& message, const QDateTime& date, const BubblePiece& piece) {
    const double padding = m_.bubblePadding;
    const PieceLayout layout = measure(message, piece);
    const PdfTextBlock& text = layout.text;
    const PdfTextBlock& labelBlock = layout.label;
    const double textHeight = layout.textHeight;
    const double textWidth = layout.textWidth;
    const double bubbleWidth = layout.bubbleWidth;
    const double bubbleHeight = layout.bubbleHeight;
    const double labelHeight = layout.labelHeight;
    const bool showLabel = labelHeight > 0;

    // The time label hangs below the bubble: the whole message, label to time, stays above the bottom.
    if (y_ - layout.height() < bottom_ && !newPage()) {
        return;
    }
    const double bubbleX = message.isFromMe ? m_.rightEdge - bubbleWidth : m_.leftMargin;

    if (showLabel) {
        const double labelWidth = labelBlock.size().width();
        const double x =
            message.isFromMe ? bubbleX + bubbleWidth - labelWidth - kLabelInset : m_.leftMargin + kLabelInset;
        y_ -= labelHeight;
        const QRectF rect = toPage(x, y_, labelWidth, labelHeight - kLabelExtraHeight);
        labelBlock.draw(painter_, rect.topLeft(), labelGray(), rect.height());
    }

    y_ -= bubbleHeight;
    QPainterPath bubble;
    bubble.setFillRule(Qt::WindingFill);
    bubble.addRoundedRect(toPage(bubbleX, y_, bubbleWidth, bubbleHeight), m_.cornerRadius, m_.cornerRadius);
    painter_.save();
    painter_.setRenderHint(QPainter::Antialiasing);
    painter_.fillPath(bubble, message.isFromMe ? colors_.sent : colors_.received);
    painter_.restore();

    const double innerX = bubbleX + padding;
    double innerY = y_ + padding;
    if (!text.isEmpty()) {
        const QRectF rect = toPage(innerX, innerY, textWidth, textHeight);
        if (!text.draw(painter_, rect.topLeft(), message.isFromMe ? colors_.sentText : colors_.receivedText,
                       rect.height(), toPage(bubbleX, y_, bubbleWidth, bubbleHeight),
                       [this] { return stopRequested(); })) {
            return; // the rest of a stopped document is never seen
        }
        innerY += m_.contentSpacing + textHeight;
    }
    for (const auto& image : piece.images) {
        drawImage(image, toPage(innerX, innerY, image.size.width(), image.size.height()));
        innerY += m_.contentSpacing + image.size.height();
    }

    const double timeY = y_ - m_.timeGap - m_.messageGap;
    if (piece.showTime) {
        const PdfTextBlock time(formatMessageTime(date), smallFont_, kTimeRectWidth, 0, &writer_);
        const double timeX =
            message.isFromMe ? bubbleX : std::max(m_.leftMargin, bubbleX + bubbleWidth - time.size().width());
        const QRectF rect = toPage(timeX, timeY, kTimeRectWidth, kTimeRectHeight);
        time.draw(painter_, rect.topLeft(), labelGray(), rect.height());
    }
    y_ = timeY;
}

void PdfDocumentRenderer::drawImage(const PrintedImage& image, const QRectF& target) {
    QImage picture;
    if (image.readable) {
        const QSize pixels(std::max(1, static_cast<int>(target.width())),
                           std::max(1, static_cast<int>(target.height())));
        picture = ImageSource::load(image.path, pixels);
    }
    if (picture.isNull()) {
        drawPlaceholder(target);
        return;
    }
    picture = downscaleImage(picture, target.width(), target.height());
    painter_.save();
    painter_.drawImage(target, picture);
    painter_.restore();
}

void PdfDocumentRenderer::drawPlaceholder(const QRectF& target) {
    painter_.save();
    painter_.setRenderHint(QPainter::Antialiasing);
    QPainterPath plate;
    plate.addRoundedRect(target, 4, 4);
    painter_.fillPath(plate, QColor(0xE5, 0xE5, 0xEA));
    const double side = std::min(target.width(), target.height()) * 0.4;
    const QRectF icon(target.center().x() - side / 2, target.center().y() - side * 0.4, side, side * 0.8);
    painter_.setPen(QPen(labelGray(), std::max(0.5, side / 24)));
    painter_.setBrush(Qt::NoBrush);
    painter_.drawRect(icon);
    QPainterPath hills;
    hills.moveTo(icon.left(), icon.bottom());
    hills.lineTo(icon.left() + icon.width() * 0.35, icon.top() + icon.height() * 0.45);
    hills.lineTo(icon.left() + icon.width() * 0.6, icon.top() + icon.height() * 0.75);
    hills.lineTo(icon.left() + icon.width() * 0.75, icon.top() + icon.height() * 0.6);
    hills.lineTo(icon.right(), icon.bottom());
    painter_.drawPath(hills);
    painter_.restore();
}

} // namespace quillobrandt
