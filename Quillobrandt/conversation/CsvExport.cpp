#include "Quillobrandt/conversation/CsvExport.h"

#include <QLocale>

#include <cerrno>
#include <cstring>

#include "Quillobrandt/conversation/DayLabels.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Console.h"
#include "platform/core/FileMode.h"

namespace quillobrandt {

namespace {

// One field as RFC 4180 writes it: between double quotes, each double quote inside doubled.
void appendField(QString& csv, const QString& field) {
    csv += QLatin1Char('"');
    for (const QChar c : field) {
        if (c == QLatin1Char('"')) {
            csv += QLatin1Char('"');
        }
        csv += c;
    }
    csv += QLatin1Char('"');
}

// One line for `message`; reactions give none.
void appendLine(QString& csv, const Message& message, const ParticipantLabelLookup& labelFor) {
    if (message.associatedMessageGUID) {
        return;
    }
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
    appendField(csv, person);
    csv += QLatin1Char(',');
    appendField(csv, QLocale::c().toString(localDateTime(message.date), dateFormat));
    csv += QLatin1Char(',');
    appendField(csv, message.text ? QString::fromStdString(*message.text) : QString());
    csv += QLatin1Char('\n');
}

QString csvHeader() {
    return QStringLiteral("person,datetime,message\n");
}

} // namespace

QString generateCSV(const std::vector<Message>& messages, const ParticipantLabelLookup& labelFor) {
    QString csv = csvHeader();
    for (const Message& message : messages) {
        appendLine(csv, message, labelFor);
    }
    return csv;
}

QString generateCSV(const std::vector<Message>& source, std::span<const std::uint32_t> positions,
                    const ParticipantLabelLookup& labelFor) {
    QString csv = csvHeader();
    for (const std::uint32_t position : positions) {
        if (position < source.size()) {
            appendLine(csv, source[position], labelFor);
        }
    }
    return csv;
}

bool writeCsvFile(const std::filesystem::path& path, const QString& text, QString* error) {
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    if (platform::writeFileAtomically(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                                      platform::userFileMode())) {
        return true;
    }
    const int code = errno;
    if (error) {
        *error = QStringLiteral("could not write \"%1\"").arg(QString::fromStdString(path.string()));
        if (code != 0) {
            *error += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code));
        }
    }
    return false;
}

namespace {

CsvExportResult writeExport(const std::filesystem::path& path, const QString& text, std::size_t messageCount) {
    CsvExportResult result{false, {}, messageCount};
    result.saved = writeCsvFile(path, text, &result.error);
    if (!result.saved) {
        platform::consoleLine(("Error saving CSV: " + result.error).toStdString());
    }
    return result;
}

} // namespace

CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& messages,
                          const ParticipantLabelLookup& labelFor) {
    return writeExport(path, generateCSV(messages, labelFor), messages.size());
}

CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& source,
                          std::span<const std::uint32_t> positions, const ParticipantLabelLookup& labelFor) {
    return writeExport(path, generateCSV(source, positions, labelFor), positions.size());
}

} // namespace quillobrandt
