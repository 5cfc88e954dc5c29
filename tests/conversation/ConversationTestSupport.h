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

// The calling thread's own processor time in seconds: a measure of work done that a busy machine does not stretch.
double threadCpuSeconds();

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

// Relative luminance of an opaque pixel, and the contrast ratio (1 to 21) of two.
double pixelLuminance(QRgb rgb);
double pixelContrast(QRgb a, QRgb b);

// Text as it reached the pixels: within `pixels` the background is the most frequent colour, the text the
// pixel that stands out from it the most.
struct TextSample {
    QRgb background = 0;
    QRgb text = 0;
    double ratio = 0;
};
TextSample sampleText(const QImage& image, const QRect& pixels);

} // namespace qbtest
