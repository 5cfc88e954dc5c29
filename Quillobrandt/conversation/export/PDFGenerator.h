#pragma once

#include <QFont>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/conversation/export/PDFSettings.h"
#include "Quillobrandt/conversation/export/PdfLayoutMetrics.h"
#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// Progress of a PDF export: a message for the user and a fraction 0..1. Called on the generating thread.
using PDFProgress = std::function<void(const QString& message, double value)>;

// Asked on the generating thread before each page; true ends the render there.
using PDFStopRequest = std::function<bool()>;

struct PDFGenerationResult {
    bool written = false;   // the whole document reached the output
    bool cancelled = false; // stopped on request; the output is incomplete
    QString error;          // why nothing usable was written, for the user
    int pageCount = 0;
    int printedMessages = 0; // messages with text or an attachment
};

// Renders messages as a paginated PDF of chat bubbles: a day header before each new day, sender
// names in group conversations, bubbles with text and pictures, the time under each bubble and,
// if asked, page numbers. Stateless; safe to run on a worker thread (QImage, QPdfWriter, QPainter
// and QTextLayout only). `namer` names received senders in groups and must be callable from that thread.
// When the result is not `written`, whatever reached `outputPath` is incomplete: the caller removes it.
class PDFGenerator {
public:
    static PDFGenerationResult generatePDF(const std::vector<Message>& messages,
                                           const std::vector<std::string>& participants, const PDFSettings& settings,
                                           const ParticipantNamer& namer, const QString& outputPath,
                                           const PDFProgress& progress = {}, const PDFStopRequest& stop = {});

    // Liberation Sans, Serif and Mono stand in for Helvetica, Times New Roman and Courier;
    // "system" is the desktop's sans (DejaVu Sans).
    static QFont fontForStyle(PDFFontStyle style, double pointSize);

    // Pixel size of a picture as displayed; nullopt when it cannot be read.
    static std::optional<QSizeF> imagePixelSize(const QString& path);

    // The printed size of a picture: at most the widest picture a bubble holds, at most 300 points high.
    static QSizeF printedImageSize(QSizeF pixels, const PdfLayoutMetrics& metrics);

    // Whether a message gets printed: visible text, or at least one attachment (a picture is drawn, any other file
    // named on a line of its own: "[Attachment: clip.mov]").
    static bool isPrintable(const Message& message);
};

} // namespace quillobrandt
