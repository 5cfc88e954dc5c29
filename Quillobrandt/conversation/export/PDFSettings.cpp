#include "Quillobrandt/conversation/export/PDFSettings.h"

#include <algorithm>
#include <cmath>

#include "Quillobrandt/app/Style.h"

namespace quillobrandt {
namespace {

constexpr double kReadableContrast = 4.5;

double linearChannel(double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Relative luminance of the colour as it looks on white paper.
double printedLuminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    const double alpha = std::clamp(rgb.alphaF(), 0.0f, 1.0f);
    const auto onPaper = [alpha](double c) { return linearChannel(c * alpha + (1.0 - alpha)); };
    return 0.2126 * onPaper(rgb.redF()) + 0.7152 * onPaper(rgb.greenF()) + 0.0722 * onPaper(rgb.blueF());
}

} // namespace

double printedContrast(const QColor& a, const QColor& b) {
    const double la = printedLuminance(a);
    const double lb = printedLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor bubbleTextColor(const QColor& bubble) {
    const QColor white(Qt::white);
    if (printedContrast(white, bubble) >= kReadableContrast) {
        return white;
    }
    // The primary label colour of a light page; the paper under a PDF is always light.
    return QColor(Qt::black);
}

QSizeF pageSizeInPoints(PDFPageSize size) {
    switch (size) {
    case PDFPageSize::a4:
        return {595, 842};
    case PDFPageSize::legal:
        return {612, 1008};
    case PDFPageSize::letter:
        break;
    }
    return {612, 792};
}

BubbleColors bubbleColors(const PDFSettings& settings) {
    BubbleColors colours;
    switch (settings.colorScheme) {
    case PDFColorScheme::professional: {
        QColor gray = style::gray();
        gray.setAlphaF(0.3f);
        colours.sent = style::blue();
        colours.received = gray;
        break;
    }
    case PDFColorScheme::custom:
        colours.sent = settings.customSentColor.isValid() ? settings.customSentColor : QColor(Qt::gray);
        colours.received = settings.customReceivedColor.isValid() ? settings.customReceivedColor : QColor(Qt::gray);
        break;
    case PDFColorScheme::quillobrandt:
        colours.sent = QColor::fromRgbF(0.95f, 0.75f, 0.2f, 1.0f);
        colours.received = QColor::fromRgbF(1.0f, 0.549f, 0.471f, 1.0f);
        break;
    }
    colours.sentText = bubbleTextColor(colours.sent);
    colours.receivedText = bubbleTextColor(colours.received);
    return colours;
}

} // namespace quillobrandt
