#include "Quillobrandt/conversation/export/PDFGenerator.h"

#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>

#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/conversation/SenderNames.h"
#include "Quillobrandt/conversation/export/ImageSource.h"
#include "Quillobrandt/conversation/export/PdfDocumentRenderer.h"
#include "Quillobrandt/conversation/export/PdfOutputFile.h"
#include "Quillobrandt/conversation/export/PdfTextBlock.h"
#include "platform/core/Console.h"

namespace quillobrandt {
namespace {

constexpr double kMaxImageHeight = 300;
constexpr int kProgressEvery = 50;

QString formatPoints(double value) {
    QString text = QString::number(value, 'f', 1);
    return text;
}

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
    PdfDocumentRenderer renderer(writer, painter, settings, showsSenderNames(participants), namer, stopOrFailed);
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
