#include "Quillobrandt/conversation/export/PdfLayoutMetrics.h"

#include <cmath>

namespace quillobrandt {

PdfLayoutMetrics PdfLayoutMetrics::forSettings(const PDFSettings& settings) {
    PdfLayoutMetrics m;
    const QSizeF page = pageSizeInPoints(settings.pageSize);
    m.pageWidth = page.width();
    m.pageHeight = page.height();
    const bool dense = settings.ultraDenseMode;
    m.margin = dense ? 15 : 35;
    m.leftMargin = m.margin + (settings.addBindingMargin ? 36 : 0);
    // A nonsensical size would make every line unmeasurable; keep it printable.
    const double requested = std::isfinite(settings.fontSize) && settings.fontSize > 0 ? settings.fontSize : 8.0;
    m.messageFontSize = dense ? 7 : std::min(requested, 72.0);
    m.smallFontSize = dense ? 7 : 8;
    m.headerHeight = dense ? 8 : 18;
    m.headerFontSize = dense ? 7 : 9;
    m.bubblePadding = dense ? 2 : 6;
    m.messageGap = dense ? 8 : 12;
    m.contentSpacing = dense ? 3 : 6;
    m.timeGap = dense ? 3 : 4;
    m.cornerRadius = dense ? 6 : 10;

    m.contentWidth = m.pageWidth - m.leftMargin - m.margin;
    m.rightEdge = m.pageWidth - m.margin;
    m.maxBubbleWidth = 0.7 * m.contentWidth;
    m.maxTextWidth = m.maxBubbleWidth - 2 * m.bubblePadding;
    m.maxImageWidth = m.maxBubbleWidth - 1.5 * m.bubblePadding;
    m.top = m.pageHeight - m.margin;
    return m;
}

} // namespace quillobrandt
