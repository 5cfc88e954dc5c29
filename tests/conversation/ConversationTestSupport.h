#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QImage>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QTime>

#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/store/Message.h"

namespace qbtest {

// Sets TZ for one test and puts the old value back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<QByteArray> previous_;
};

// A message dated at a local date and time (in the TZ in force).
quillobrandt::Message makeMessage(const QDate& day, const QTime& time, std::optional<std::string> text,
                                  bool fromMe = false, std::string sender = "+15551234567");

// Standard output of a poppler tool; empty when it fails.
QString runTool(const QString& program, const QStringList& arguments);
QString pdfText(const QString& path, int firstPage = 0, int lastPage = 0);
int pdfPageCount(const QString& path);

// One word as poppler places it: its box in points from the page's top-left corner.
struct PdfWord {
    QString text;
    QRectF box;
};
struct PdfPageWords {
    QSizeF size; // points
    std::vector<PdfWord> words;
};
// Every word of every page (or of the given range), from pdftotext -bbox.
std::vector<PdfPageWords> pdfWords(const QString& path, int firstPage = 0, int lastPage = 0);

// One page rendered by pdftoppm at `dpi`; null when it fails.
QImage renderPdfPage(const QString& path, int page, int dpi = 72);

} // namespace qbtest
