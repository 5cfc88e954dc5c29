#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// The whole CSV file: header "person,datetime,message", then one line per message in the given order.
// Reactions (messages with an associated message) are left out. person is "Me" for sent messages,
// else the sender's label, else the sender handle (contact names are not used). datetime is
// "yyyy-MM-dd HH:mm:ss" in the current time zone. message is the text; a message that holds only attachments
// (no text, or just their U+FFFC placeholders) names them instead: "[Attachment: clip.mov]", one per file, on one
// line; a text with placeholders of its attachments keeps its words and names the files on lines of their own.
// Every field is quoted as RFC 4180 says: between double quotes, with each double quote inside doubled, so
// labels and handles with quotes parse too.
QString generateCSV(const std::vector<Message>& messages, const ParticipantLabelLookup& labelFor);
// The same for the messages of `source` at `positions`, in the order of `positions` (a filtered list kept as
// positions); positions past the end name nothing.
QString generateCSV(const std::vector<Message>& source, std::span<const std::uint32_t> positions,
                    const ParticipantLabelLookup& labelFor);

// How many rows below the header an export of these positions would write: 0 means there is nothing to export.
std::size_t countCsvRows(const std::vector<Message>& source, std::span<const std::uint32_t> positions);

struct CsvExportResult {
    bool saved = false;
    bool nothingToExport = false; // no row to write, so no file was written
    QString error;                // why nothing was written, when it was not
    std::size_t messageCount = 0; // the number of messages handed in ("message_count" of "csv_export_completed")
};

// The export behind the save panel: the rows are generated and written as they go (never the whole file in
// memory), as UTF-8 without a byte-order mark, through a temporary file beside `path` that replaces it only once
// complete (a failed write leaves any existing file as it was), with the user's usual permissions (0666 less the
// umask). On failure prints "Error saving CSV: <error>" to the console. With no row to write, nothing is
// written and `nothingToExport` is set. The caller sends "csv_export_completed" when `saved` is true.
CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& messages,
                          const ParticipantLabelLookup& labelFor);
CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& source,
                          std::span<const std::uint32_t> positions, const ParticipantLabelLookup& labelFor);

} // namespace quillobrandt
