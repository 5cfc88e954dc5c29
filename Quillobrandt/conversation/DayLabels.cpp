#include "Quillobrandt/conversation/DayLabels.h"

#include <QLocale>

#include <cmath>

namespace quillobrandt {
namespace {

// Roughly ±100000 years, well inside what QDateTime can represent.
constexpr double kLimitMilliseconds = 3.0e18;

} // namespace

qint64 epochMilliseconds(platform::AbsoluteTime date) {
    const double ms = date.unixSeconds() * 1000.0;
    if (!std::isfinite(ms) || std::fabs(ms) > kLimitMilliseconds) {
        return 0;
    }
    return static_cast<qint64>(std::llround(ms));
}

QDateTime localDateTime(platform::AbsoluteTime date) {
    return QDateTime::fromMSecsSinceEpoch(epochMilliseconds(date), Qt::LocalTime);
}

QString formatSeparatorDate(const QDateTime& date, const QDateTime& now) {
    const QDate day = date.toLocalTime().date();
    const QDate today = now.toLocalTime().date();
    if (day == today) {
        return QStringLiteral("Today");
    }
    if (day == today.addDays(-1)) {
        return QStringLiteral("Yesterday");
    }
    return QLocale::c().toString(day, QStringLiteral("MMM d, yyyy"));
}

QString formatSeparatorDate(const QDateTime& date) {
    return formatSeparatorDate(date, QDateTime::currentDateTime());
}

QString formatSeparatorDate(platform::AbsoluteTime date) {
    return formatSeparatorDate(localDateTime(date));
}

QString formatMessageTime(const QDateTime& date) {
    return QLocale::c().toString(date.toLocalTime().time(), QStringLiteral("h:mm AP"));
}

QString formatMessageTime(platform::AbsoluteTime date) {
    return formatMessageTime(localDateTime(date));
}

bool isSameLocalDay(const QDateTime& a, const QDateTime& b) {
    return a.toLocalTime().date() == b.toLocalTime().date();
}

} // namespace quillobrandt
