#include "audit/MsdmTable.h"

#include <cstdint>
#include <cstring>

namespace velkor {
namespace {

constexpr qsizetype kKeyOffset = 56;
constexpr qsizetype kKeyLength = 29;
constexpr qsizetype kChecksumOffset = 9;

// The length the header claims, bounded by the bytes present.
qsizetype declaredLength(const QByteArray& table)
{
    if (table.size() < 8)
        return table.size();
    uint32_t length = 0;
    std::memcpy(&length, table.constData() + 4, sizeof length); // little-endian on every machine we run on
    return std::min<qsizetype>(qsizetype(length), table.size());
}

} // namespace

bool isMsdmTable(const QByteArray& table)
{
    return table.startsWith("MSDM");
}

QByteArray msdmProductKey(const QByteArray& table)
{
    if (!isMsdmTable(table) || declaredLength(table) < kKeyOffset + kKeyLength)
        return {};
    return table.mid(kKeyOffset, kKeyLength);
}

bool removeMsdmProductKey(QByteArray& table)
{
    const qsizetype length = declaredLength(table);
    if (!isMsdmTable(table) || length < kKeyOffset + kKeyLength)
        return false;
    std::memset(table.data() + kKeyOffset, 'X', kKeyLength);
    table[kChecksumOffset] = 0;
    uint8_t sum = 0;
    for (qsizetype at = 0; at < length; ++at)
        sum = uint8_t(sum + uint8_t(table[at]));
    table[kChecksumOffset] = char(uint8_t(0x100 - sum));
    return true;
}

} // namespace velkor
