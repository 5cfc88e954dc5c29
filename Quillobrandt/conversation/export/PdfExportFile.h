#pragma once

#include <QString>

#include <cstdint>
#include <span>
#include <vector>

#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// File steps around one PDF export: where the document is rendered before the user picks its place,
// and how it gets there.

// "<private temp>/<UUID>.pdf" in the per-user private temporary folder. Empty when no such folder exists.
QString temporaryPdfPath();

// The messages that go into the PDF: reactions (messages with an associated message) are left out.
std::vector<Message> pdfExportMessages(const std::vector<Message>& messages);
// The same for the messages of `source` at `positions`, in that order; positions past the end name nothing.
std::vector<Message> pdfExportMessages(const std::vector<Message>& source, std::span<const std::uint32_t> positions);

// Whether any message has a picture ("include_images" of "pdf_export_started").
bool containsImage(const std::vector<Message>& messages);

// The size of a file in whole kilobytes; 0 when it cannot be read.
std::int64_t fileSizeKilobytes(const QString& path);

// Moves the rendered document to the chosen place, replacing what is there. Works across file
// systems (the private temporary folder is often on another one): rename when possible, else copy
// piece by piece to a temporary name beside the destination, sync, rename, and remove the source; either way the
// file gets the user's usual mode (0666 less the umask). On failure the source stays where it was and `error`
// says why.
bool moveFinishedPdf(const QString& source, const QString& destination, QString* error = nullptr);

} // namespace quillobrandt
