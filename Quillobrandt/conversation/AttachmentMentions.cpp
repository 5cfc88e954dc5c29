#include "Quillobrandt/conversation/AttachmentMentions.h"

#include <algorithm>
#include <filesystem>

namespace quillobrandt {

QString attachmentMention(const Attachment& attachment) {
    QString name = QString::fromStdString(attachment.filename);
    if (name.isEmpty()) {
        name = QString::fromStdString(std::filesystem::path(attachment.filePath).filename().string());
    }
    if (name.isEmpty()) {
        name = QStringLiteral("attachment");
    }
    return QStringLiteral("[Attachment: %1]").arg(name);
}

bool onlyAttachmentPlaceholders(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c == QChar(0xFFFC) || c.isSpace(); });
}

} // namespace quillobrandt
