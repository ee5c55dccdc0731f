#pragma once

#include <QString>

namespace velkor {

// Orders texts the way a file browser lists names: numbers inside a text compare by value
// (HS2 before HS10), letters before case. The collation is the locale-independent root
// collation, so the order is the same on every machine.
int localizedStandardCompare(const QString& left, const QString& right);

inline bool localizedStandardLess(const QString& left, const QString& right)
{
    return localizedStandardCompare(left, right) < 0;
}

} // namespace velkor
