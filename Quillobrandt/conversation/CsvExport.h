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
// "yyyy-MM-dd HH:mm:ss" in the current time zone. Every field is quoted as RFC 4180 says: between double
// quotes, with each double quote inside doubled, so labels and handles with quotes parse too.
QString generateCSV(const std::vector<Message>& messages, const ParticipantLabelLookup& labelFor);
// The same for the messages of `source` at `positions`, in the order of `positions` (a filtered list kept as
// positions); positions past the end name nothing.
QString generateCSV(const std::vector<Message>& source, std::span<const std::uint32_t> positions,
                    const ParticipantLabelLookup& labelFor);

struct CsvExportResult {
    bool saved = false;
    QString error;            // why the write failed, when it did
    std::size_t messageCount; // the number of messages handed in ("message_count" of "csv_export_completed")
};

// Writes `text` as UTF-8 (no byte-order mark) to `path`, replacing it atomically: a failed write
// leaves any existing file as it was. The file gets the user's usual permissions (0666 less the umask).
bool writeCsvFile(const std::filesystem::path& path, const QString& text, QString* error = nullptr);

// The export behind the save panel: generate, write, and on failure print "Error saving CSV: <error>"
// to the console. The caller sends "csv_export_completed" when `saved` is true.
CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& messages,
                          const ParticipantLabelLookup& labelFor);
CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& source,
                          std::span<const std::uint32_t> positions, const ParticipantLabelLookup& labelFor);

} // namespace quillobrandt
