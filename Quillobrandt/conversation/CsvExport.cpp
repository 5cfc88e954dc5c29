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

} // namespace

QString generateCSV(const std::vector<Message>& messages, const ParticipantLabelLookup& labelFor) {
    QString csv = QStringLiteral("person,datetime,message\n");
    const QLocale c = QLocale::c();
    const QString dateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    for (const Message& message : messages) {
        if (message.associatedMessageGUID) {
            continue;
        }
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
        appendField(csv, c.toString(localDateTime(message.date), dateFormat));
        csv += QLatin1Char(',');
        appendField(csv, message.text ? QString::fromStdString(*message.text) : QString());
        csv += QLatin1Char('\n');
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

CsvExportResult exportCSV(const std::filesystem::path& path, const std::vector<Message>& messages,
                          const ParticipantLabelLookup& labelFor) {
    CsvExportResult result{false, {}, messages.size()};
    result.saved = writeCsvFile(path, generateCSV(messages, labelFor), &result.error);
    if (!result.saved) {
        platform::consoleLine(("Error saving CSV: " + result.error).toStdString());
    }
    return result;
}

} // namespace quillobrandt
