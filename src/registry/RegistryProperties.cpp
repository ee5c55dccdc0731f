#include "registry/RegistryProperties.h"

#include "files/TextDecoding.h"

#include <QVariantHash>

#include <algorithm>
#include <cmath>
#include <limits>

namespace velkor {

quint32 littleEndianValue(const QByteArray& bytes)
{
    quint32 value = 0;
    const qsizetype count = std::min<qsizetype>(bytes.size(), 4);
    for (qsizetype i = 0; i < count; ++i)
        value |= quint32(quint8(bytes[i])) << (8 * i);
    return value;
}

QByteArray littleEndianBytes(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

std::optional<qint64> registryNumber(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return value.toLongLong();
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        // Above the signed range the value wraps negative, which no reader accepts as an ID,
        // a port number or a size.
        return qint64(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18)
            return std::nullopt;
        return qint64(d);
    }
    default:
        return std::nullopt;
    }
}

std::optional<qint64> wholeInteger(QStringView text, int base)
{
    bool negative = false;
    if (!text.isEmpty() && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))) {
        negative = text[0] == QLatin1Char('-');
        text = text.sliced(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    quint64 magnitude = 0;
    const quint64 largest = quint64(std::numeric_limits<qint64>::max());
    const quint64 limit = negative ? largest + 1 : largest;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        int digit;
        if (u >= '0' && u <= '9')
            digit = u - '0';
        else if (u >= 'a' && u <= 'z')
            digit = u - 'a' + 10;
        else if (u >= 'A' && u <= 'Z')
            digit = u - 'A' + 10;
        else
            return std::nullopt;
        if (digit >= base)
            return std::nullopt;
        if (magnitude > (limit - quint64(digit)) / quint64(base))
            return std::nullopt;
        magnitude = magnitude * quint64(base) + quint64(digit);
    }
    if (negative)
        return magnitude == largest + 1 ? std::numeric_limits<qint64>::min() : -qint64(magnitude);
    return qint64(magnitude);
}

QVariantMap registryDictionary(const QVariant& value)
{
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap();
    if (value.typeId() == QMetaType::QVariantHash) {
        QVariantMap map;
        const QVariantHash hash = value.toHash();
        for (auto it = hash.constBegin(); it != hash.constEnd(); ++it)
            map.insert(it.key(), it.value());
        return map;
    }
    return {};
}

QString RegistryProperties::text(const QString& key, const QString& fallback) const
{
    const QVariant value = m_properties.value(key);
    if (value.typeId() == QMetaType::QString) {
        QString text = value.toString();
        return text.isEmpty() ? fallback : text;
    }
    if (value.typeId() == QMetaType::QByteArray) {
        QByteArray bytes = value.toByteArray();
        const qsizetype end = bytes.indexOf('\0');
        if (end >= 0)
            bytes.truncate(end);
        if (bytes.isEmpty())
            return fallback;
        return decodeUtf8Strictly(bytes).value_or(fallback);
    }
    return fallback;
}

std::optional<qint64> RegistryProperties::number(const QString& key) const
{
    const auto found = m_properties.constFind(key);
    if (found == m_properties.constEnd())
        return std::nullopt;
    const QVariant& value = found.value();
    if (const auto number = registryNumber(value))
        return number;
    if (value.typeId() == QMetaType::QByteArray)
        return qint64(littleEndianValue(value.toByteArray()));
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.startsWith(QStringLiteral("0x")))
            return wholeInteger(QStringView(text).sliced(2), 16);
        return wholeInteger(text, 10);
    }
    return std::nullopt;
}

std::optional<QByteArray> RegistryProperties::bytes(const QString& key) const
{
    const auto found = m_properties.constFind(key);
    if (found == m_properties.constEnd())
        return std::nullopt;
    if (found.value().typeId() == QMetaType::QByteArray)
        return found.value().toByteArray();
    const auto number = registryNumber(found.value());
    if (!number || *number < 0 || *number > qint64(std::numeric_limits<quint32>::max()))
        return std::nullopt;
    return littleEndianBytes(quint32(*number));
}

QVariantMap RegistryProperties::dictionary(const QString& key) const
{
    return registryDictionary(m_properties.value(key));
}

} // namespace velkor
