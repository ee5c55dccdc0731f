#pragma once

#include <QDateTime>
#include <QString>

namespace velkor {

// "HH:mm:ss" in local wall-clock time, the stamp of a run-log line.
QString logClockStamp(const QDateTime& when = QDateTime::currentDateTime());

// "2026-12-05 07:44:31 +0000": the current time in UTC as reports print it.
QString reportTimestamp(const QDateTime& when = QDateTime::currentDateTimeUtc());

} // namespace velkor
