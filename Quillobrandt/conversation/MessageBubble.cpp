#include "Quillobrandt/conversation/MessageBubble.h"

#include <QApplication>
#include <QImageReader>

#include <functional>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/TextContrast.h"
#include "Quillobrandt/conversation/DayLabels.h"
#include "platform/core/Console.h"

namespace quillobrandt {

namespace ConversationStyle {
QColor accent() {
    return style::accent();
}
QColor blue() {
    return style::blue();
}
QColor gray() {
    return style::gray();
}
QColor orange() {
    return style::orange();
}
QColor green() {
    return style::green();
}
QColor red() {
    return style::red();
}
QColor gold() {
    return QColor::fromRgbF(0.95f, 0.75f, 0.2f, 1.0f);
}
QColor secondary(const QPalette& palette) {
    return style::secondaryColour(palette);
}
QFont font(int pixelSize, bool semibold, bool italic) {
    QFont f = QApplication::font();
    f.setPixelSize(pixelSize);
    if (semibold) {
        f.setWeight(QFont::DemiBold);
    }
    f.setItalic(italic);
    return f;
}
} // namespace ConversationStyle

namespace {

PictureReader defaultPictureReader() {
    PictureReader reader;
    reader.pixelSize = [](const QString& path) -> std::optional<QSizeF> {
        QImageReader image(path);
        image.setAutoTransform(true);
        if (!image.canRead() || !image.size().isValid()) {
            return std::nullopt;
        }
        QSizeF size = image.size();
        if (image.transformation() & QImageIOHandler::TransformationRotate90) {
            size.transpose();
        }
        return size;
    };
    reader.load = [](const QString& path, QSize target) {
        QImageReader image(path);
        image.setAutoTransform(true);
        image.setScaledSize(target);
        return image.read();
    };
    return reader;
}

PictureReader& installedPictureReader() {
    static PictureReader reader = defaultPictureReader();
    return reader;
}

} // namespace

void setPictureReader(PictureReader reader) {
    installedPictureReader() = reader.pixelSize && reader.load ? std::move(reader) : defaultPictureReader();
}

const PictureReader& pictureReader() {
    return installedPictureReader();
}

BubblePalette bubblePalette(bool fromMe, AppTheme theme, const QColor& backdrop) {
    QColor background;
    if (fromMe) {
        background = theme == AppTheme::quillobrandt ? ConversationStyle::gold() : ConversationStyle::blue();
    } else if (theme == AppTheme::quillobrandt) {
        background = ConversationStyle::accent();
    } else {
        background = ConversationStyle::gray();
        background.setAlphaF(0.3f);
    }
    return {background, bubbleTextColor(background, backdrop)};
}

QColor senderNameColor(const std::string& sender) {
    const auto h = static_cast<long long>(std::hash<std::string>{}(sender) % 360u);
    return QColor::fromHsvF(static_cast<float>(static_cast<double>(h) / 360.0), 0.6f, 0.7f, 1.0f);
}

QString displayText(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.remove(QChar(0xFFFC));
    return shown;
}

BubbleContent makeBubbleContent(const Message& message, bool showSenderName, const BubbleContext& context) {
    BubbleContent content;
    content.fromMe = message.isFromMe;
    content.theme = context.theme;
    if (showSenderName && !message.isFromMe) {
        const QString handle = QString::fromStdString(message.sender);
        content.senderName = context.namer ? context.namer(handle) : handle;
        content.senderColor = senderNameColor(message.sender);
    }
    // A picture's text is shown under it; the attachment mark alone is no text to show.
    const QString shown = message.text ? displayText(*message.text) : QString();
    const bool hasText = !shown.isEmpty();
    if (hasText) {
        content.text = shown;
    }
    for (const auto& attachment : message.attachments) {
        if (!attachment.isImage()) {
            content.attachmentNames.push_back(QString::fromStdString(attachment.filename));
            continue;
        }
        BubblePicture picture;
        picture.filePath = QString::fromStdString(attachment.filePath);
        picture.filename = QString::fromStdString(attachment.filename);
        const auto size = pictureReader().pixelSize(picture.filePath);
        picture.loadable = size.has_value() && !size->isEmpty();
        picture.pixelSize = size.value_or(QSizeF());
        if (!picture.loadable) {
            if (context.isIPhoneBackup) {
                picture.failureNote = QString::fromUtf8(backupPictureNote);
                picture.failureNoteIsBackup = true;
            } else {
                picture.failureNote = QStringLiteral("Path: ") + picture.filePath;
                if (!context.reportedPictureFailures ||
                    context.reportedPictureFailures->insert(attachment.filePath).second) {
                    platform::consoleLine("⚠️ Failed to load image: " + attachment.filePath);
                }
            }
        }
        content.pictures.push_back(std::move(picture));
    }
    content.unsupported = !hasText && message.attachments.empty();
    content.time = formatMessageTime(message.date);
    return content;
}

} // namespace quillobrandt
