#pragma once

#include <QString>

#include <string>
#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"

namespace quillobrandt {

// The one rule for every suggested file name (CSV, PDF, edited copy), applied to a conversation title:
// "/" and ":" become "-", double quotes and control characters go, leading dots go (no hidden files),
// the rest is cut to at most 200 bytes of UTF-8 between two characters, and an empty result becomes
// "Conversation".
QString sanitizedExportName(const QString& title);

// The suggested file name for an export: the sanitised title plus `suffix` (".csv", ".pdf").
QString exportFileName(const QString& title, const QString& suffix);

// "Export CSV"'s suggested name for a conversation title.
QString defaultCsvFileName(const QString& title);

// The PDF export's name (without suffix): every participant's display name joined with ", ",
// then sanitised. A missing namer names each participant by its handle.
QString pdfExportName(const std::vector<std::string>& participants, const ParticipantNamer& namer);

} // namespace quillobrandt
