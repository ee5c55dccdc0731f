#include "base/Timestamps.h"

#include <QTimeZone>

namespace velkor {

QString logClockStamp(const QDateTime& when)
{
    return when.toLocalTime().toString(QStringLiteral("HH:mm:ss"));
}

QString reportTimestamp(const QDateTime& when)
{
    return when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
}

} // namespace velkor
