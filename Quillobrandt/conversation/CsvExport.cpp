#include "Quillobrandt/conversation/CsvExport.h"

#include <QLocale>

#include <cerrno>
#include <cstring>

#include "Quillobrandt/conversation/DayLabels.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Console.h"

namespace quillobrandt {

QString generateCSV(const std::vector<Message>& messages, const ParticipantLabelLookup& labelFor) {
    QString csv = QStringLiteral("person,datetime,message\n");
    const QLocale c = QLocale::c();
    const QString dateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    const QString separator = QStringLiteral("\",\"");
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
        QString text = message.text ? QString::fromStdString(*message.text) : QString();
        text.replace(QLatin1Char('"'), QStringLiteral("\"\""));

        csv += QLatin1Char('"');
        csv += person;
        csv += separator;
        csv += c.toString(localDateTime(message.date), dateFormat);
        csv += separator;
        csv += text;
        csv += QStringLiteral("\"\n");
    }
    return csv;
}

bool writeCsvFile(const std::filesystem::path& path, const QString& text, QString* error) {
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    if (platform::writeFileAtomically(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                                      0600)) {
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
