#pragma once

#include <QDateTime>
#include <QFont>
#include <QRectF>
#include <QString>

#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PdfBubblePieces.h"
#include "Quillobrandt/conversation/export/PdfLayoutMetrics.h"
#include "Quillobrandt/conversation/export/PdfTextBlock.h"

class QPainter;
class QPdfWriter;

namespace quillobrandt {

// Lays messages out on the pages of one document and draws them: day headers, sender labels, bubbles with their
// text and pictures, times and page numbers. Keeps the current page and how far down it the next bubble goes. Stops
// drawing for good once `stop` answers true, which it asks before each page, between slices of a long text and
// before each picture of emoji.
class PdfDocumentRenderer {
public:
    PdfDocumentRenderer(QPdfWriter& writer, QPainter& painter, const PDFSettings& settings, bool groupConversation,
                        const ParticipantNamer& namer, const PDFStopRequest& stop);

    const PdfLayoutMetrics& metrics() const { return m_; }
    int pageCount() const { return page_; }
    bool stopped() const { return stopped_; }

    // False when asked to stop before the first page.
    bool beginFirstPage();
    void render(const Message& message, const QDateTime& date, bool newDay);

private:
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

    QRectF toPage(double x, double y, double width, double height) const {
        return {x, m_.pageHeight - y - height, width, height};
    }
    bool stopRequested();
    // Returns false, and draws nothing more, once a stop was requested.
    bool newPage();
    void drawPageNumberIfWanted();
    void drawDayHeader(const QDateTime& date);
    double labelHeight(const Message& message, const BubblePiece& piece) const;
    QString senderName(const Message& message) const;
    // Everything one bubble takes below its top besides the bubble itself: the time label under it
    // and the gap to the next message.
    double belowBubble() const { return m_.timeGap + m_.messageGap; }
    // The bubbles `message` becomes at the current place on the page; none once a stop was requested.
    std::vector<BubblePiece> piecesOf(const Message& message);
    PieceLayout measure(const Message& message, const BubblePiece& piece) const;
    void drawPiece(const Message& message, const QDateTime& date, const BubblePiece& piece);
    void drawImage(const PrintedImage& image, const QRectF& target);
    // A light plate with a small framed landscape: the picture could not be read.
    void drawPlaceholder(const QRectF& target);

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

} // namespace quillobrandt
