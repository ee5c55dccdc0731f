#pragma once

#include <QByteArray>

namespace velkor {

// The MSDM firmware table carries the machine's Windows product key: 29 characters at offset
// 56. Removing it keeps the table valid: the key becomes "X"s and the checksum byte (offset 9)
// is set so the table's bytes sum to zero again.
bool isMsdmTable(const QByteArray& table);
// Replaces the key and fixes the checksum; false, with the table unchanged, when the table is
// too short to hold a key.
bool removeMsdmProductKey(QByteArray& table);
// The key bytes as stored (empty when there is none).
QByteArray msdmProductKey(const QByteArray& table);

} // namespace velkor
