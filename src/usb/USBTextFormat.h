#pragma once

#include <QString>

namespace velkor::usbtext {

// A number as zero-filled hexadecimal of at least `width` digits ("%04x" / "%04X"). A negative
// value keeps its sign instead of turning into a long two's-complement string.
inline QString hex(qint64 value, int width, bool upperCase)
{
    const quint64 magnitude = value < 0 ? quint64(0) - quint64(value) : quint64(value);
    QString digits = QStringLiteral("%1").arg(magnitude, width, 16, QLatin1Char('0'));
    if (upperCase)
        digits = digits.toUpper();
    return value < 0 ? QLatin1Char('-') + digits : digits;
}

} // namespace velkor::usbtext
