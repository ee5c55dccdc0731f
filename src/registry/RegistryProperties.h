#pragma once

#include "registry/Registry.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace velkor {

// Registries keep numbers as little-endian bytes: port addresses, PCI identities, table lengths.
// The unsigned value of the first four bytes (fewer when shorter; none gives 0).
quint32 littleEndianValue(const QByteArray& bytes);
// A number as the 4 little-endian bytes the registry and the kext use.
QByteArray littleEndianBytes(quint32 value);

// An entry's property table read through typed readers. A reader gives its fallback (or
// nothing) when the key is missing or holds a value it cannot read as that type, so callers
// need no error path of their own. The same property is written differently by different
// registries (a name as text or as NUL-terminated data, a number as a number, as bytes or as
// text); each reader accepts every spelling of its type.
class RegistryProperties {
public:
    explicit RegistryProperties(QVariantMap properties) : m_properties(std::move(properties)) {}
    explicit RegistryProperties(const RegistryEntry& entry) : m_properties(entry.properties()) {}

    const QVariantMap& all() const { return m_properties; }

    // A text, or data read up to its first NUL as strict UTF-8. The fallback when that is
    // empty or not UTF-8.
    QString text(const QString& key, const QString& fallback = {}) const;

    // A number value (an unsigned one above the signed range wraps negative), up to four bytes
    // of data as a little-endian value, or a whole text in decimal or after "0x" in hexadecimal
    // (blanks around it allowed). A boolean is not a number.
    std::optional<qint64> number(const QString& key) const;

    // Data as found, or a number value from 0 to 2^32 - 1 as 4 little-endian bytes.
    std::optional<QByteArray> bytes(const QString& key) const;

    // A dictionary, whichever of Qt's two map types holds it; empty for anything else.
    QVariantMap dictionary(const QString& key) const;

private:
    QVariantMap m_properties;
};

// The number a value holds when it is one of the number types; nothing for any other value.
std::optional<qint64> registryNumber(const QVariant& value);

// A whole text as an integer of the base: an optional sign, then one or more digits and
// nothing else; nothing on overflow.
std::optional<qint64> wholeInteger(QStringView text, int base);

// A dictionary value of either of Qt's two map types; empty for anything else.
QVariantMap registryDictionary(const QVariant& value);

} // namespace velkor
