#pragma once

#include <QFont>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "Quillobrandt/conversation/export/PdfLayoutMetrics.h"
#include "Quillobrandt/store/Message.h"

class QPaintDevice;

namespace quillobrandt {

// Points between the lines of a message's text.
inline constexpr double kPdfTextLineSpacing = 2.0;

// A whole bubble's text height: the measured one with a fifth more room under it, as designed.
double withRoomUnderText(double measured);

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

// The message's text, then a line naming each file that is not a picture.
QString bubbleText(const Message& message);

// The message's pictures at their printed sizes; one that cannot be read keeps a placeholder's place.
std::vector<PrintedImage> printedImages(const Message& message, const PdfLayoutMetrics& metrics);

// The height a bubble's content may take: on an empty page, and on what is left of the current one.
struct PieceRoom {
    double capacity = 0;
    double remaining = 0;
};

// A bubble that cannot fit even on an empty page would run off the paper; `whole` is cut at line boundaries of
// its text and between its pictures, so that every piece fits a page, the first one what is left of the current
// page when that is worth using. `whole` itself when it fits. Nothing once `stop` answered true: a message of
// megabytes takes seconds to lay out, and Cancel must not wait for it.
std::optional<std::vector<BubblePiece>> cutIntoPieces(BubblePiece whole, const PieceRoom& room, const QFont& font,
                                                      const PdfLayoutMetrics& metrics, QPaintDevice* device,
                                                      const std::function<bool()>& stop);

} // namespace quillobrandt
