#pragma once

#include <QByteArray>
#include <QVariantMap>
#include <optional>

namespace velkor::testing {

// An XML property list read back with libplist into the value types the writer takes
// (integers as qint64), so a written dictionary can be compared with what was meant.
std::optional<QVariantMap> readPlistDictionary(const QByteArray& xml);

} // namespace velkor::testing
