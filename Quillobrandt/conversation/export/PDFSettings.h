#pragma once

#include <QColor>
#include <QSizeF>

#include "Quillobrandt/app/TextContrast.h" // the bubble text rule, shared with the screen

namespace quillobrandt {

enum class PDFColorScheme { quillobrandt, professional, custom };
enum class PDFFontStyle { system, helvetica, times, courier };
enum class PDFPageSize { letter, a4, legal };

// The options of one PDF export, made by the export dialog and handed to the generator.
// The defaults are the dialog's initial choices.
struct PDFSettings {
    PDFColorScheme colorScheme = PDFColorScheme::quillobrandt;
    QColor customSentColor = QColor::fromRgbF(0.95f, 0.75f, 0.2f, 1.0f);
    QColor customReceivedColor = QColor::fromRgbF(1.0f, 0.549f, 0.471f, 1.0f);
    PDFFontStyle fontStyle = PDFFontStyle::system;
    double fontSize = 8.0; // message text in normal mode, points
    PDFPageSize pageSize = PDFPageSize::letter;
    bool includePageNumbers = false;
    bool addBindingMargin = false; // 36 extra points on the left
    bool ultraDenseMode = false;
};

// Width × height in points: letter 612 × 792, A4 595 × 842, legal 612 × 1008.
QSizeF pageSizeInPoints(PDFPageSize size);

struct BubbleColors {
    QColor sent;
    QColor received;
    QColor sentText;
    QColor receivedText;
};
BubbleColors bubbleColors(const PDFSettings& settings);

} // namespace quillobrandt
