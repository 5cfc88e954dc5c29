#include "Quillobrandt/conversation/export/PDFGenerator.h"

#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/conversation/AttachmentMentions.h"
#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/conversation/SenderNames.h"
#include "Quillobrandt/conversation/export/ImageSource.h"
#include "Quillobrandt/conversation/export/PdfOutputFile.h"
#include "Quillobrandt/conversation/export/PdfTextBlock.h"
#include "platform/core/Console.h"

namespace quillobrandt {
namespace {

constexpr double kTextLineSpacing = 2.0;
constexpr double kMaxImageHeight = 300;
constexpr double kLabelInset = 14;
constexpr double kLabelExtraHeight = 6;
constexpr double kHeaderLineOffset = 8;
constexpr double kHeaderLineGap = 8;
constexpr double kPageNumberBaseY = 25;
constexpr double kPageNumberFontSize = 10;
constexpr double kPageNumberGap = 6; // between the lowest content and the page number's top
constexpr double kTimeRectWidth = 200;
constexpr double kTimeRectHeight = 12;
constexpr int kProgressEvery = 50;
constexpr double kMinimumContinuationHeight = 60;

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

QString formatPoints(double value) {
    QString text = QString::number(value, 'f', 1);
    return text;
}

// One picture of a bubble: a known printed size, or a placeholder when the file cannot be read.
struct PrintedImage {
    QString path;
    QSizeF size;
    bool readable = false;
};

// What one bubble shows. A message taller than a page becomes several bubbles.
struct BubblePiece {
    QString text;
    std::vector<PrintedImage> images;
    bool showLabel = true;
    bool showTime = true;
    bool split = false; // one of several pieces of a message
};

class DocumentRenderer {
public:
    DocumentRenderer(QPdfWriter& writer, QPainter& painter, const PDFSettings& settings, bool groupConversation,
                     const ParticipantNamer& namer, const PDFStopRequest& stop)
        : writer_(writer), painter_(painter), settings_(settings), m_(PdfLayoutMetrics::forSettings(settings)),
          colors_(bubbleColors(settings)),
          messageFont_(PDFGenerator::fontForStyle(settings.fontStyle, m_.messageFontSize)),
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

    const PdfLayoutMetrics& metrics() const { return m_; }
    int pageCount() const { return page_; }
    bool stopped() const { return stopped_; }

    // False when asked to stop before the first page.
    bool beginFirstPage() {
        if (stopRequested()) {
            return false;
        }
        drawPageNumberIfWanted();
        return true;
    }

    void render(const Message& message, const QDateTime& date, bool newDay) {
        std::vector<BubblePiece> pieces;
        if (newDay) {
            // A day header goes with the first bubble of its day: when that bubble must start the next page, the
            // header starts it too, instead of being left alone at this page's foot.
            const double header = m_.headerHeight + kHeaderLineGap;
            y_ -= header;
            pieces = splitIntoPieces(message);
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
                pieces = splitIntoPieces(message);
                y_ += header;
                if (pieces.empty()) {
                    return;
                }
            }
            drawDayHeader(date);
        } else {
            pieces = splitIntoPieces(message);
        }
        for (const BubblePiece& piece : pieces) {
            if (stopped_) {
                return;
            }
            drawPiece(message, date, piece);
        }
    }

private:
    QRectF toPage(double x, double y, double width, double height) const {
        return {x, m_.pageHeight - y - height, width, height};
    }

    bool stopRequested() {
        if (!stopped_ && stop_ && stop_()) {
            stopped_ = true;
        }
        return stopped_;
    }

    // Returns false, and draws nothing more, once a stop was requested.
    bool newPage() {
        if (stopRequested()) {
            return false;
        }
        writer_.newPage();
        ++page_;
        y_ = m_.top;
        drawPageNumberIfWanted();
        return true;
    }

    void drawPageNumberIfWanted() {
        if (!settings_.includePageNumbers) {
            return;
        }
        const PdfTextBlock number(QString::number(page_), pageNumberFont_, m_.pageWidth, 0, &writer_);
        const QSizeF size = number.size();
        const QRectF rect = toPage((m_.pageWidth - size.width()) * 0.5, kPageNumberBaseY, size.width(), size.height());
        number.draw(painter_, rect.topLeft(), labelGray(), size.height());
    }

    void drawDayHeader(const QDateTime& date) {
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

    std::vector<PrintedImage> printedImages(const Message& message) const {
        std::vector<PrintedImage> images;
        for (const Attachment& attachment : message.attachments) {
            if (!attachment.isImage()) {
                continue;
            }
            const QString path = QString::fromStdString(attachment.filePath);
            if (const auto pixels = PDFGenerator::imagePixelSize(path)) {
                images.push_back({path, PDFGenerator::printedImageSize(*pixels, m_), true});
            } else {
                // A picture that is gone or unreadable still shows that there was one.
                const double width = std::min(120.0, m_.maxImageWidth);
                images.push_back({path, QSizeF(width, std::floor(width * 0.75)), false});
            }
        }
        return images;
    }

    double labelHeight(const Message& message, const BubblePiece& piece) const {
        if (!groupConversation_ || !piece.showLabel) {
            return 0;
        }
        return PdfTextBlock(senderName(message), smallFont_, m_.contentWidth, 0, &writer_).size().height() +
               kLabelExtraHeight;
    }

    // The message's text, then a line naming each file that is not a picture.
    static QString bubbleText(const Message& message) {
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

    QString senderName(const Message& message) const {
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

    // A whole bubble's text height: the measured one with a fifth more room under it, as designed.
    static double withRoom(double measured) { return std::max(measured, std::ceil(measured * 1.2)); }

    // Everything one bubble takes below its top besides the bubble itself: the time label under it
    // and the gap to the next message.
    double belowBubble() const { return m_.timeGap + m_.messageGap; }

    // A bubble that cannot fit even on an empty page would run off the paper; cut its text at line
    // boundaries and its pictures between pictures, so that every piece fits a page. No pieces once a stop was
    // requested: a message of megabytes takes seconds to lay out, and Cancel must not wait for it.
    std::vector<BubblePiece> splitIntoPieces(const Message& message) {
        BubblePiece whole;
        whole.text = bubbleText(message);
        whole.images = printedImages(message);
        const double capacity = m_.top - bottom_ - belowBubble() - labelHeight(message, whole) - 2 * m_.bubblePadding;

        const QString text = PdfTextBlock::printableText(whole.text);
        const auto measured = PdfTextBlock::measureLines(text, messageFont_, m_.maxTextWidth, &writer_,
                                                         [this] { return stopRequested(); });
        if (!measured) {
            return {};
        }
        const std::vector<PdfTextBlock::Line>& lines = *measured;
        double contentHeight = text.isEmpty() ? 0 : withRoom(PdfTextBlock::heightOf(lines, kTextLineSpacing));
        for (const auto& image : whole.images) {
            contentHeight += m_.contentSpacing + image.size.height();
        }
        if (contentHeight <= capacity) {
            return {whole};
        }

        std::vector<BubblePiece> pieces;
        // The first piece fills what is left of the current page when that is worth using. Pieces are measured as
        // their lines are (see measure()), so a page is filled to its foot.
        const double remaining = y_ - bottom_ - belowBubble() - labelHeight(message, whole) - 2 * m_.bubblePadding;
        const double firstLimit = (remaining >= kMinimumContinuationHeight ? remaining : capacity) - 1;
        const double textLimit = capacity - 1;
        qsizetype chunkStart = 0;
        double chunkHeight = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const double added = lines[i].height + (chunkHeight > 0 ? kTextLineSpacing : 0);
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
            const double added = m_.contentSpacing + image.size.height();
            if (startPiece || imageHeight + added > capacity) {
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

    // What a piece takes on the page, measured once for the page-break decision and the drawing alike.
    struct PieceLayout {
        PdfTextBlock text;
        PdfTextBlock label;
        double textHeight = 0;
        double textWidth = 0;
        double bubbleWidth = 0;
        double bubbleHeight = 0;
        double labelHeight = 0;
        double below = 0;
        // From the top of the label to the gap under the time.
        double height() const { return labelHeight + bubbleHeight + below; }
    };

    PieceLayout measure(const Message& message, const BubblePiece& piece) const {
        const double padding = m_.bubblePadding;
        const bool showLabel = groupConversation_ && piece.showLabel;
        PieceLayout layout{
            PdfTextBlock(piece.text, messageFont_, m_.maxTextWidth, kTextLineSpacing, &writer_),
            PdfTextBlock(showLabel ? senderName(message) : QString(), smallFont_, m_.contentWidth, 0, &writer_)};
        // A whole bubble keeps the designed fifth of room under its text; a piece of a split message is a page of
        // lines, where that fifth would be a band of empty bubble on every page.
        if (!layout.text.isEmpty()) {
            layout.textHeight =
                piece.split ? std::ceil(layout.text.size().height()) : withRoom(layout.text.size().height());
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

    void drawPiece(const Message& message, const QDateTime& date, const BubblePiece& piece) {
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
            text.draw(painter_, rect.topLeft(), message.isFromMe ? colors_.sentText : colors_.receivedText,
                      rect.height(), toPage(bubbleX, y_, bubbleWidth, bubbleHeight));
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

    void drawImage(const PrintedImage& image, const QRectF& target) {
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

    // A light plate with a small framed landscape: the picture could not be read.
    void drawPlaceholder(const QRectF& target) {
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

    QPdfWriter& writer_;
    QPainter& painter_;
    const PDFSettings& settings_;
    const PdfLayoutMetrics m_;
    const BubbleColors colors_;
    const QFont messageFont_;
    const QFont smallFont_;
    QFont headerFont_;
    const QFont pageNumberFont_;
    const bool groupConversation_;
    const ParticipantNamer& namer_;
    const PDFStopRequest& stop_;
    double bottom_; // nothing is drawn below this
    bool stopped_ = false;
    int page_ = 1;
    double y_;
};

} // namespace

QFont PDFGenerator::fontForStyle(PDFFontStyle style, double pointSize) {
    QFont font;
    switch (style) {
    case PDFFontStyle::helvetica:
        font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
        font.setStyleHint(QFont::SansSerif);
        break;
    case PDFFontStyle::times:
        font.setFamilies({QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")});
        font.setStyleHint(QFont::Serif);
        break;
    case PDFFontStyle::courier:
        font.setFamilies({QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")});
        font.setStyleHint(QFont::Monospace);
        break;
    case PDFFontStyle::system:
        font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
        font.setStyleHint(QFont::SansSerif);
        break;
    }
    font.setPointSizeF(pointSize > 0 ? pointSize : 8.0);
    font.setKerning(true);
    return font;
}

std::optional<QSizeF> PDFGenerator::imagePixelSize(const QString& path) {
    return ImageSource::pixelSize(path);
}

QSizeF PDFGenerator::printedImageSize(QSizeF pixels, const PdfLayoutMetrics& metrics) {
    double width = pixels.width();
    double height = pixels.height();
    if (metrics.maxImageWidth < width) {
        const double scale = metrics.maxImageWidth / width;
        width *= scale;
        height *= scale;
    }
    if (height > kMaxImageHeight) {
        const double scale = kMaxImageHeight / height;
        width *= scale;
        height *= scale;
    }
    return {width, height};
}

bool PDFGenerator::isPrintable(const Message& message) {
    if (message.text && !PdfTextBlock::printableText(QString::fromStdString(*message.text)).isEmpty()) {
        return true;
    }
    return !message.attachments.empty();
}

PDFGenerationResult PDFGenerator::generatePDF(const std::vector<Message>& messages,
                                              const std::vector<std::string>& participants, const PDFSettings& settings,
                                              const ParticipantNamer& namer, const QString& outputPath,
                                              const PDFProgress& progress, const PDFStopRequest& stop) {
    PDFGenerationResult result;
    // Our own file, so that a write that fails (a full disk) is noticed with its reason, and the render
    // stops at the next page instead of drawing the rest for nothing.
    PdfOutputFile output(outputPath);
    if (!output.openForWriting()) {
        result.error = QStringLiteral("Could not create the PDF file \"%1\": %2").arg(outputPath, output.failure());
        return result;
    }
    const QSizeF page = pageSizeInPoints(settings.pageSize);
    QPdfWriter writer(&output);
    writer.setResolution(72);
    writer.setPageLayout(QPageLayout(QPageSize(page, QPageSize::Point, QString(), QPageSize::ExactMatch),
                                     QPageLayout::Portrait, QMarginsF(0, 0, 0, 0), QPageLayout::Point));
    QPainter painter;
    if (!painter.begin(&writer)) {
        result.error = QStringLiteral("Could not start the PDF document \"%1\"").arg(outputPath);
        return result;
    }

    const PDFStopRequest stopOrFailed = [&output, &stop] { return output.failed() || (stop && stop()); };
    DocumentRenderer renderer(writer, painter, settings, showsSenderNames(participants), namer, stopOrFailed);
    if (!renderer.beginFirstPage()) {
        painter.end();
        output.finish();
        result.cancelled = true;
        return result;
    }

    platform::consoleLine("📄 PDF Generation Settings:");
    platform::consoleLine(
        ("   - Page size: (" + formatPoints(page.width()) + ", " + formatPoints(page.height()) + ")").toStdString());
    platform::consoleLine("   - Total messages to process: " + std::to_string(messages.size()));

    const auto total = std::count_if(messages.begin(), messages.end(), &PDFGenerator::isPrintable);
    if (progress) {
        progress(QStringLiteral("Preparing PDF..."), 0.0);
    }

    int rendered = 0;
    std::optional<QDateTime> previousDay;
    for (const Message& message : messages) {
        if (renderer.stopped()) {
            break;
        }
        if (!isPrintable(message)) {
            continue;
        }
        ++rendered;
        if (rendered % kProgressEvery == 0 && progress) {
            progress(QStringLiteral("Generating PDF: %1/%2 messages").arg(rendered).arg(total),
                     static_cast<double>(rendered) / static_cast<double>(total));
        }
        const QDateTime date = localDateTime(message.date);
        const bool newDay = !previousDay || !isSameLocalDay(date, *previousDay);
        if (newDay) {
            previousDay = date;
        }
        renderer.render(message, date, newDay);
    }

    const bool ended = painter.end();
    const bool finished = output.finish();
    result.pageCount = renderer.pageCount();
    result.printedMessages = rendered;
    if (!ended || !finished) {
        result.error =
            QStringLiteral("Could not write the PDF file \"%1\": %2")
                .arg(outputPath, output.failed() ? output.failure() : QStringLiteral("the document is incomplete"));
        platform::consoleLine("❌ " + result.error.toStdString());
        return result;
    }
    if (renderer.stopped()) {
        result.cancelled = true;
        return result;
    }
    result.written = true;
    if (progress) {
        progress(QStringLiteral("PDF generation complete!"), 1.0);
    }
    return result;
}

} // namespace quillobrandt
