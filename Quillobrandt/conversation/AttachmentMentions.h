#pragma once

#include <QString>

#include "Quillobrandt/store/Attachment.h"

namespace quillobrandt {

// How the exports name a file they cannot show: "[Attachment: clip.mov]". The stored file name, else the last
// part of its path, else "attachment".
QString attachmentMention(const Attachment& attachment);

// Whether `text` says nothing beyond attachment placeholders (U+FFFC) and white space.
bool onlyAttachmentPlaceholders(const QString& text);

} // namespace quillobrandt
