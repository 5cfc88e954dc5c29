#include "Quillobrandt/conversation/ExportFileName.h"

#include <QStringList>

namespace quillobrandt {
namespace {

constexpr qsizetype kMaxFileNameBytes = 255;

} // namespace

QString sanitizedExportName(const QString& title) {
    QString name = title;
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char(':'), QLatin1Char('-'));
    name.remove(QLatin1Char('"'));
    return name;
}

QString exportFileName(const QString& title, const QString& suffix) {
    QString stem = sanitizedExportName(title);
    if (stem.trimmed().isEmpty()) {
        stem = QStringLiteral("Conversation");
    }
    const qsizetype budget = kMaxFileNameBytes - suffix.toUtf8().size();
    while (stem.toUtf8().size() > budget) {
        qsizetype cut = stem.size() - 1;
        if (cut > 0 && stem.at(cut).isLowSurrogate()) {
            --cut;
        }
        stem.truncate(cut);
    }
    return stem + suffix;
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
