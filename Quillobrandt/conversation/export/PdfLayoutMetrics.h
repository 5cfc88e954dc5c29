#pragma once

#include "Quillobrandt/conversation/export/PDFSettings.h"

namespace quillobrandt {

// The page geometry of one document, in points, chosen once from the settings.
struct PdfLayoutMetrics {
    double pageWidth = 0;
    double pageHeight = 0;
    double margin = 0;     // right, top and bottom
    double leftMargin = 0; // plus 36 with the binding margin
    double messageFontSize = 0;
    double smallFontSize = 0; // sender and time labels
    double headerHeight = 0;
    double headerFontSize = 0;
    double bubblePadding = 0;
    double messageGap = 0;
    double contentSpacing = 0; // between text and images inside a bubble
    double timeGap = 0;
    double cornerRadius = 0;

    double contentWidth = 0;
    double rightEdge = 0;
    double maxBubbleWidth = 0;
    double maxTextWidth = 0;
    double maxImageWidth = 0;
    double top = 0;

    static PdfLayoutMetrics forSettings(const PDFSettings& settings);
};

} // namespace quillobrandt
