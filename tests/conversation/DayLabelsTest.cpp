#include <QLocale>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ConversationTestSupport.h"
#include "Quillobrandt/conversation/DateSeparatorView.h"
#include "Quillobrandt/conversation/DayLabels.h"

using namespace quillobrandt;

namespace {

QDateTime local(int y, int mo, int d, int h, int mi, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

} // namespace

TEST(DayLabels, TodayAndYesterdayFollowLocalMidnight) {
    qbtest::ScopedTimeZone zone("America/New_York");
    const QDateTime now = local(2024, 3, 12, 9, 30);
    EXPECT_EQ(formatSeparatorDate(local(2024, 3, 12, 0, 0, 1), now), "Today");
    EXPECT_EQ(formatSeparatorDate(local(2024, 3, 11, 23, 59, 59), now), "Yesterday");
    EXPECT_EQ(formatSeparatorDate(local(2024, 3, 11, 0, 0, 0), now), "Yesterday");
    EXPECT_EQ(formatSeparatorDate(local(2024, 3, 10, 12, 0), now), "Mar 10, 2024");
}

TEST(DayLabels, OlderAndFutureDatesUseMediumEnglishDate) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    const QDateTime now = local(2024, 1, 7, 12, 0);
    EXPECT_EQ(formatSeparatorDate(local(2024, 1, 5, 8, 0), now), "Jan 5, 2024");
    EXPECT_EQ(formatSeparatorDate(local(2024, 1, 8, 0, 0, 1), now), "Jan 8, 2024");
    EXPECT_EQ(formatSeparatorDate(local(2031, 12, 25, 0, 0), now), "Dec 25, 2031");
}

TEST(DayLabels, ShortTimeIsTwelveHourWithMarker) {
    qbtest::ScopedTimeZone zone("UTC");
    EXPECT_EQ(formatMessageTime(local(2024, 1, 5, 15, 7)), "3:07 PM");
    EXPECT_EQ(formatMessageTime(local(2024, 1, 5, 0, 5)), "12:05 AM");
    EXPECT_EQ(formatMessageTime(local(2024, 1, 5, 12, 0)), "12:00 PM");
}

TEST(DayLabels, WordsStayEnglishWhateverTheDefaultLocale) {
    qbtest::ScopedTimeZone zone("UTC");
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QDateTime now = local(2024, 5, 20, 12, 0);
    EXPECT_EQ(formatSeparatorDate(local(2024, 5, 20, 1, 0), now), "Today");
    EXPECT_EQ(formatSeparatorDate(local(2024, 5, 19, 1, 0), now), "Yesterday");
    EXPECT_EQ(formatSeparatorDate(local(2024, 3, 3, 1, 0), now), "Mar 3, 2024");
    EXPECT_EQ(formatMessageTime(local(2024, 5, 20, 21, 45)), "9:45 PM");
    QLocale::setDefault(previous);
}

TEST(DayLabels, SameInstantIsTodayInOneZoneAndYesterdayInAnother) {
    // 2024-06-01 02:00 UTC: still May 31 in Los Angeles.
    const QDateTime instant = QDateTime(QDate(2024, 6, 1), QTime(2, 0), Qt::UTC);
    const QDateTime now = QDateTime(QDate(2024, 6, 1), QTime(12, 0), Qt::UTC);
    {
        qbtest::ScopedTimeZone zone("Asia/Tokyo");
        EXPECT_EQ(formatSeparatorDate(instant, now), "Today");
    }
    {
        qbtest::ScopedTimeZone zone("America/Los_Angeles");
        EXPECT_EQ(formatSeparatorDate(instant, now), "Yesterday");
        EXPECT_EQ(formatMessageTime(instant), "7:00 PM");
    }
}

TEST(DayLabels, StoredDatesConvertAndCorruptOnesStillGetALabel) {
    qbtest::ScopedTimeZone zone("UTC");
    const auto date = platform::AbsoluteTime{0.0}; // 2001-01-01 00:00:00 UTC
    EXPECT_EQ(localDateTime(date), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(formatMessageTime(date), "12:00 AM");
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e300}) {
        const QDateTime converted = localDateTime(platform::AbsoluteTime{bad});
        EXPECT_TRUE(converted.isValid());
        EXPECT_FALSE(formatSeparatorDate(converted).isEmpty());
    }
}

TEST(DateSeparatorView, EqualOnlyForTheSameInstantAndShowsTheLabel) {
    qbtest::ScopedTimeZone zone("UTC");
    const QDateTime morning = local(2020, 2, 29, 8, 0);
    DateSeparatorView a(morning);
    DateSeparatorView b(morning);
    DateSeparatorView c(local(2020, 2, 29, 9, 0));
    EXPECT_TRUE(a.sameHeaderAs(b));
    EXPECT_FALSE(a.sameHeaderAs(c));
    EXPECT_EQ(a.labelText(), "Feb 29, 2020");

    a.resize(400, a.sizeHint().height());
    EXPECT_GT(a.sizeHint().height(), 16);
    const QImage shot = a.grab().toImage();
    EXPECT_EQ(shot.width(), 400);
}
