#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPalette>
#include <QSizeF>
#include <QString>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "Quillobrandt/app/AppTheme.h"
#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// Shared colours and text sizes of the conversation screens.
namespace ConversationStyle {
QColor accent();                           // #FF8C78
QColor blue();                             // #007AFF
QColor gray();                             // #8E8E93
QColor orange();                           // #FF9500
QColor green();                            // #28CD41
QColor red();                              // #FF3B30
QColor gold();                             // sRGB 0.95, 0.75, 0.2
QColor secondary(const QPalette& palette); // the secondary label colour (style::secondaryColour)
// A font of the application's default family at `pixelSize`, optionally semibold or italic.
QFont font(int pixelSize, bool semibold = false, bool italic = false);
} // namespace ConversationStyle

// The colours of a text bubble for a side and theme, drawn over `backdrop` (the list's background): the
// text is white or black, whichever reads on the bubble as seen there (the PDF's rule).
struct BubblePalette {
    QColor background;
    QColor text;
};
BubblePalette bubblePalette(bool fromMe, AppTheme theme, const QColor& backdrop = QColor(Qt::white));

// The colour of a sender's name, from the raw handle (never the shown name), stable within one run.
QColor senderNameColor(const std::string& sender);

// How bubbles read pictures. The default uses QImageReader; the export library installs its own
// reader, which also decodes HEIC/HEIF (see installConversationExport()). GUI thread only.
struct PictureReader {
    std::function<std::optional<QSizeF>(const QString& path)> pixelSize; // as displayed; nullopt: unreadable
    std::function<QImage(const QString& path, QSize target)> load;       // null image: unreadable
};
void setPictureReader(PictureReader reader);
const PictureReader& pictureReader();

// What the surrounding application says about how a bubble is drawn.
struct BubbleContext {
    ParticipantNamer namer; // label, else contact name, else the handle
    AppTheme theme = AppTheme::quillobrandt;
    bool isIPhoneBackup = false;
    // Paths whose failed picture was already reported; owned by the caller (the view), so a picture is
    // reported once, not at every rebuild of its row. Null: report every time.
    std::unordered_set<std::string>* reportedPictureFailures = nullptr;
};

struct BubblePicture {
    QString filePath;
    QString filename;
    bool loadable = false; // the file decodes as a picture
    QSizeF pixelSize;      // as displayed, when loadable
    QString failureNote;   // for an unloadable picture: "Path: …" or the backup note
    bool failureNoteIsBackup = false;
};

// The pieces of one message bubble, top to bottom (sender, pictures, text, other files, placeholder,
// time); each is present only when the message calls for it.
struct BubbleContent {
    bool fromMe = false;
    std::optional<QString> senderName;
    QColor senderColor;
    std::optional<QString> text;             // object-replacement characters removed; none when nothing is left
    AppTheme theme = AppTheme::quillobrandt; // colours the text bubble (see bubblePalette)
    std::vector<BubblePicture> pictures;
    std::vector<QString> attachmentNames; // files that are not pictures
    bool unsupported = false;             // nothing displayable: "[Unsupported message type]"
    QString time;
};

inline constexpr const char* unsupportedTitle = "[Unsupported message type]";
inline constexpr const char* unsupportedNote = "May be a sticker, effect, or special content";
inline constexpr const char* backupPictureNote = "Attachments not extracted from backup";

// Builds the pieces. Probes each picture file (header only); for a failed picture outside a backup
// prints "⚠️ Failed to load image: <path>" to the console, once per path of the context.
BubbleContent makeBubbleContent(const Message& message, bool showSenderName, const BubbleContext& context);

// The text as drawn: U+FFFC marks where an attachment sat and is never drawn.
QString displayText(const std::string& text);

} // namespace quillobrandt
