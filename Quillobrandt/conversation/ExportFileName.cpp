#include "Quillobrandt/conversation/ExportFileName.h"

#include <QStringList>
#include <QTextBoundaryFinder>

namespace quillobrandt {
namespace {

// Well inside the 255 bytes a Linux file name may have, with room for a prefix and a suffix.
constexpr qsizetype kMaxStemBytes = 200;

// The longest prefix of `text` of at most `maxBytes` UTF-8 bytes that ends between two characters
// as a reader sees them (an accent stays with its letter, an emoji sequence stays whole).
QString cutToBytes(const QString& text, qsizetype maxBytes) {
    if (text.toUtf8().size() <= maxBytes) {
        return text;
    }
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    qsizetype bytes = 0;
    for (qsizetype next = boundaries.toNextBoundary(); next > 0; next = boundaries.toNextBoundary()) {
        const qsizetype width = text.mid(end, next - end).toUtf8().size();
        if (bytes + width > maxBytes) {
            break;
        }
        bytes += width;
        end = next;
    }
    return text.left(end);
}

} // namespace

QString sanitizedExportName(const QString& title) {
    QString name;
    name.reserve(title.size());
    for (const QChar c : title) {
        if (c == QLatin1Char('/') || c == QLatin1Char(':')) {
            name += QLatin1Char('-');
        } else if (c != QLatin1Char('"') && c.category() != QChar::Other_Control) {
            name += c;
        }
    }
    qsizetype dots = 0;
    while (dots < name.size() && name.at(dots) == QLatin1Char('.')) {
        ++dots;
    }
    name = cutToBytes(name.mid(dots), kMaxStemBytes);
    if (name.trimmed().isEmpty()) {
        return QStringLiteral("Conversation");
    }
    return name;
}

QString exportFileName(const QString& title, const QString& suffix) {
    return sanitizedExportName(title) + suffix;
}

QString defaultCsvFileName(const QString& title) {
    return exportFileName(title, QStringLiteral(".csv"));
}

QString pdfExportName(const std::vector<std::string>& participants, const ParticipantNamer& namer) {
    QStringList names;
    for (const auto& participant : participants) {
        const QString handle = QString::fromStdString(participant);
        names << (namer ? namer(handle) : handle);
    }
    return sanitizedExportName(names.join(QStringLiteral(", ")));
}

} // namespace quillobrandt
