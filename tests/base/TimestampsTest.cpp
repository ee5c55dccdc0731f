#include "base/Timestamps.h"

#include "support/QtPrinters.h"

#include <QTimeZone>
#include <gtest/gtest.h>

using namespace velkor;

TEST(Timestamps, RunLogLinesUseTheTwentyFourHourClockAndReportsUtc)
{
    EXPECT_EQ(logClockStamp(QDateTime(QDate(2026, 1, 2), QTime(9, 5, 3))), "09:05:03");
    EXPECT_EQ(logClockStamp(QDateTime(QDate(2026, 1, 2), QTime(21, 0, 0))), "21:00:00");
    EXPECT_EQ(reportTimestamp(QDateTime(QDate(2026, 12, 5), QTime(7, 44, 31), Qt::UTC)), "2026-12-05 07:44:31 +0000");
    EXPECT_EQ(reportTimestamp(QDateTime(QDate(2026, 12, 5), QTime(8, 44, 31), QTimeZone(3600))), "2026-12-05 07:44:31 +0000");
}
