#include "Quillobrandt/conversation/export/PDFSettings.h"

#include "Quillobrandt/app/Style.h"

namespace quillobrandt {

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
