#pragma once

#include <QDateTime>
#include <QString>

#include "platform/core/AbsoluteTime.h"

namespace quillobrandt {

// The day and time words shown under and between messages. Never localised: the month names and
// AM/PM markers are always English, whatever the user's language. Both follow the process's current
// time zone. Safe to call from any thread (no shared formatter).

// A stored message date as a local date-time. Out-of-range or non-finite dates become the epoch,
// so a corrupt row still gets a label instead of an invalid date.
QDateTime localDateTime(platform::AbsoluteTime date);
// The same instant as milliseconds since the Unix epoch (what localDateTime(date).toMSecsSinceEpoch() gives),
// without building a date-time: for comparing many stored times against a few converted boundaries.
qint64 epochMilliseconds(platform::AbsoluteTime date);

// "Today", "Yesterday", else the medium date such as "Jan 5, 2024".
QString formatSeparatorDate(const QDateTime& date);
QString formatSeparatorDate(platform::AbsoluteTime date);
// Same, with "now" given (tests, and callers labelling many rows against one clock reading).
QString formatSeparatorDate(const QDateTime& date, const QDateTime& now);

// The short 12-hour time such as "3:07 PM".
QString formatMessageTime(const QDateTime& date);
QString formatMessageTime(platform::AbsoluteTime date);

// Whether two dates fall on the same local calendar day.
bool isSameLocalDay(const QDateTime& a, const QDateTime& b);

} // namespace quillobrandt
