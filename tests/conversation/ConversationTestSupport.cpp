#include "ConversationTestSupport.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>

#include <cmath>
#include <cstdlib>
#include <ctime>

namespace qbtest {

ScopedTimeZone::ScopedTimeZone(const char* zone) {
    if (qEnvironmentVariableIsSet("TZ")) {
        previous_ = qgetenv("TZ");
    }
    qputenv("TZ", zone);
    ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (previous_) {
        qputenv("TZ", *previous_);
    } else {
        qunsetenv("TZ");
    }
    ::tzset();
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

quillobrandt::Message makeMessage(const QDate& day, const QTime& time, std::optional<std::string> text, bool fromMe,
                                  std::string sender) {
    static std::int64_t nextId = 1;
    quillobrandt::Message message;
    message.id = nextId++;
    message.text = std::move(text);
    message.date = platform::AbsoluteTime::fromUnixSeconds(
        static_cast<double>(QDateTime(day, time, Qt::LocalTime).toSecsSinceEpoch()));
    message.isFromMe = fromMe;
    message.sender = fromMe ? "Me" : std::move(sender);
    return message;
}

QString runTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString pdfText(const QString& path, int firstPage, int lastPage) {
    QStringList arguments{QStringLiteral("-enc"), QStringLiteral("UTF-8")};
    if (firstPage > 0) {
        arguments << QStringLiteral("-f") << QString::number(firstPage) << QStringLiteral("-l")
                  << QString::number(lastPage > 0 ? lastPage : firstPage);
    }
    arguments << path << QStringLiteral("-");
    return runTool(QStringLiteral("pdftotext"), arguments);
}

int pdfPageCount(const QString& path) {
    const QString info = runTool(QStringLiteral("pdfinfo"), {path});
    const auto match = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(info);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

std::vector<PdfPageWords> pdfWords(const QString& path, int firstPage, int lastPage) {
    QStringList arguments{QStringLiteral("-bbox"), QStringLiteral("-enc"), QStringLiteral("UTF-8")};
    if (firstPage > 0) {
        arguments << QStringLiteral("-f") << QString::number(firstPage) << QStringLiteral("-l")
                  << QString::number(lastPage > 0 ? lastPage : firstPage);
    }
    arguments << path << QStringLiteral("-");
    const QString html = runTool(QStringLiteral("pdftotext"), arguments);
    std::vector<PdfPageWords> pages;
    const QRegularExpression item(QStringLiteral(
        "<page width=\"([0-9.]+)\" height=\"([0-9.]+)\">|"
        "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\">([^<]*)</word>"));
    for (auto it = item.globalMatch(html); it.hasNext();) {
        const auto match = it.next();
        if (!match.captured(1).isEmpty()) {
            pages.push_back({QSizeF(match.captured(1).toDouble(), match.captured(2).toDouble()), {}});
        } else if (!pages.empty()) {
            const QPointF topLeft(match.captured(3).toDouble(), match.captured(4).toDouble());
            const QPointF bottomRight(match.captured(5).toDouble(), match.captured(6).toDouble());
            pages.back().words.push_back({match.captured(7), QRectF(topLeft, bottomRight)});
        }
    }
    return pages;
}

QImage renderPdfPage(const QString& path, int page, int dpi) {
    const QString prefix = path + QStringLiteral("-render-%1").arg(page);
    runTool(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QString::number(dpi), QStringLiteral("-f"),
                                         QString::number(page), QStringLiteral("-l"), QString::number(page),
                                         QStringLiteral("-singlefile"), QStringLiteral("-png"), path, prefix});
    QImage image(prefix + QStringLiteral(".png"));
    QFile::remove(prefix + QStringLiteral(".png"));
    return image;
}

namespace {

double channel(int value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

} // namespace

double pixelLuminance(QRgb rgb) {
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
}

double pixelContrast(QRgb a, QRgb b) {
    const double la = pixelLuminance(a);
    const double lb = pixelLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TextSample sampleText(const QImage& image, const QRect& pixels) {
    const QRect area = pixels & image.rect();
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            ++counts[image.pixel(x, y) | 0xFF000000u];
        }
    }
    TextSample sample;
    int best = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > best) {
            best = it.value();
            sample.background = it.key();
        }
    }
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        const double ratio = pixelContrast(it.key(), sample.background);
        if (ratio > sample.ratio) {
            sample.ratio = ratio;
            sample.text = it.key();
        }
    }
    return sample;
}

} // namespace qbtest
