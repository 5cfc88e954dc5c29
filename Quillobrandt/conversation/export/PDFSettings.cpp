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
    switch (settings.colorScheme) {
    case PDFColorScheme::professional: {
        QColor gray = style::gray();
        gray.setAlphaF(0.3f);
        return {style::blue(), gray};
    }
    case PDFColorScheme::custom:
        return {settings.customSentColor.isValid() ? settings.customSentColor : QColor(Qt::gray),
                settings.customReceivedColor.isValid() ? settings.customReceivedColor : QColor(Qt::gray)};
    case PDFColorScheme::quillobrandt:
        break;
    }
    return {QColor::fromRgbF(0.95f, 0.75f, 0.2f, 1.0f), QColor::fromRgbF(1.0f, 0.549f, 0.471f, 1.0f)};
}

} // namespace quillobrandt
