#include "Quillobrandt/conversation/CsvExport.h"

#include <QLocale>

#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "Quillobrandt/conversation/AttachmentMentions.h"
#include "Quillobrandt/conversation/DayLabels.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Console.h"
#include "platform/core/FileMode.h"

namespace quillobrandt {

namespace {

// Rows are gathered up to about this many bytes before they go to the file.
constexpr std::size_t kWriteChunk = 256 * 1024;

// One field as RFC 4180 writes it: between double quotes, each double quote inside doubled.
void appendField(QString& line, const QString& field) {
    line += QLatin1Char('"');
    for (const QChar c : field) {
        if (c == QLatin1Char('"')) {
            line += QLatin1Char('"');
        }
        line += c;
    }
    line += QLatin1Char('"');
}

bool isExported(const Message& message) {
    return !message.associatedMessageGUID;
}

// The text; where it holds its files' placeholders (U+FFFC), which no spreadsheet shows, the files are named instead:
// after the text, one line each, as the PDF prints them, or on one line when there is no other text.
QString messageField(const Message& message) {
    QString text = message.text ? QString::fromStdString(*message.text) : QString();
    const bool onlyFiles = onlyAttachmentPlaceholders(text);
    if (message.attachments.empty() || (!onlyFiles && !text.contains(QChar(0xFFFC)))) {
        return text;
    }
    QStringList names;
    for (const Attachment& attachment : message.attachments) {
        names << attachmentMention(attachment);
    }
    if (onlyFiles) {
        return names.join(QLatin1Char(' '));
    }
    text.remove(QChar(0xFFFC));
    while (!text.isEmpty() && text.back().isSpace()) {
        text.chop(1);
    }
    return text + QLatin1Char('\n') + names.join(QLatin1Char('\n'));
}

// One line for `message`.
QString csvLine(const Message& message, const ParticipantLabelLookup& labelFor) {
    const QString dateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    QString person;
    if (message.isFromMe) {
        person = QStringLiteral("Me");
    } else {
        person = QString::fromStdString(message.sender);
        if (labelFor) {
            if (auto label = labelFor(person)) {
                person = *label;
            }
        }
    }
    QString line;
    appendField(line, person);
    line += QLatin1Char(',');
    appendField(line, QLocale::c().toString(localDateTime(message.date), dateFormat));
    line += QLatin1Char(',');
    appendField(line, messageField(message));
    line += QLatin1Char('\n');
    return line;
}

constexpr std::string_view kHeader = "person,datetime,message\n";

// Calls `row` with each exported message of `source` (at `positions`, or all of them when null), in order.
void forEachRow(const std::vector<Message>& source, const std::span<const std::uint32_t>* positions,
                const std::function<void(const Message&)>& row) {
    if (positions == nullptr) {
        for (const Message& message : source) {
            if (isExported(message)) {
                row(message);
            }
        }
        return;
    }
    for (const std::uint32_t position : *positions) {
        if (position < source.size() && isExported(source[position])) {
            row(source[position]);
        }
    }
}

QString wholeText(const std::vector<Message>& source, const std::span<const std::uint32_t>* positions,
                  const ParticipantLabelLookup& labelFor) {
    QString csv = QString::fromLatin1(kHeader.data(), static_cast<qsizetype>(kHeader.size()));
    forEachRow(source, positions, [&](const Message& message) { csv += csvLine(message, labelFor); });
    return csv;
}

QString describeWriteFailure(const std::filesystem::path& path, int code) {
    QString error = QStringLiteral("could not write \"%1\"").arg(QString::fromStdString(path.string()));
    if (code != 0) {
        error += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code));
    }
    return error;
}

CsvExportResult streamExport(const std::filesystem::path& path, const std::vector<Message>& source,
                             const std::span<const std::uint32_t>* positions, const ParticipantLabelLookup& labelFor,
                             std::size_t messageCount) {
    CsvExportResult result;
    result.messageCount = messageCount;
    std::size_t rows = 0;
    forEachRow(source, positions, [&rows](const Message&) { ++rows; });
    if (rows == 0) {
        result.nothingToExport = true;
        result.error = QStringLiteral("There are no messages to export.");
        return result;
    }
    platform::AtomicFileWriter file(path, platform::userFileMode());
    std::string chunk(kHeader);
    chunk.reserve(kWriteChunk + 4096);
    forEachRow(source, positions, [&](const Message& message) {
        if (!file.ok()) {
            return; // the first failure decides; the rest is not worth formatting
        }
        chunk += csvLine(message, labelFor).toStdString();
        if (chunk.size() >= kWriteChunk) {
            file.write(chunk);
            chunk.clear();
        }
    });
    result.saved = file.write(chunk) && file.commit();
    if (!result.saved) {
        result.error = describeWriteFailure(path, file.error());
        platform::consoleLine(("Error saving CSV: " + result.error).toStdString());
    }
    return result;
}

} // namespace

QString generateCSV(const std::vector<Message>& messages, const ParticipantLabelLookup& labelFor) {
    return wholeText(messages, nullptr, labelFor);
}

QString generateCSV(const std::vector<Message>& source, std::span<const std::uint32_t> positions,
                    const ParticipantLabelLookup& labelFor) {
    return wholeText(source, &positions, labelFor);
}

std::size_t countCsvRows(const std::vector<Message>& source, std::span<const std::uint32_t> positions) {
    std::size_t rows = 0;
    forEachRow(source, &positions, [&rows](const Message&) { ++rows; });
    return rows;
}

CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& messages,
                          const ParticipantLabelLookup& labelFor) {
    return streamExport(path, messages, nullptr, labelFor, messages.size());
}

CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& source,
                          std::span<const std::uint32_t> positions, const ParticipantLabelLookup& labelFor) {
    return streamExport(path, source, &positions, labelFor, positions.size());
}

} // namespace quillobrandt
