#pragma once

#include <QString>

#include <string>
#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"

namespace quillobrandt {

// A conversation title made fit for a file name: "/" and ":" become "-", double quotes go.
QString sanitizedExportName(const QString& title);

// The suggested file name for an export: the sanitised title plus `suffix` (".csv", ".pdf").
// An empty title gives "Conversation"; a title too long for a Linux file name (255 bytes)
// is cut at a character boundary, so the save never fails on the name alone.
QString exportFileName(const QString& title, const QString& suffix);

// "Export CSV"'s suggested name for a conversation title.
QString defaultCsvFileName(const QString& title);

// The PDF export's name (without suffix): every participant's display name joined with ", ",
// then sanitised. A missing namer names each participant by its handle.
QString pdfExportName(const std::vector<std::string>& participants, const ParticipantNamer& namer);

} // namespace quillobrandt
