#include "usb/USBIDs.h"

#include <QFile>
#include <QStringDecoder>

namespace velkor {
namespace {

bool isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

bool isBlankOrTab(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QStringView trimBlanksAndTabs(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlankOrTab(text[begin]))
        ++begin;
    while (end > begin && isBlankOrTab(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// The entry's key followed by a blank, or the key alone. Hexadecimal digits of either case
// match because the line is compared lower-cased.
bool startsWithKey(QStringView trimmed, const QString& key)
{
    if (trimmed.size() < key.size() || trimmed.first(key.size()).compare(key, Qt::CaseInsensitive) != 0)
        return false;
    return trimmed.size() == key.size() || trimmed[key.size()] == QLatin1Char(' ');
}

QString nameAfterKey(QStringView trimmed)
{
    return trimBlanksAndTabs(trimmed.size() > 4 ? trimmed.sliced(4) : QStringView()).toString();
}

QString hexKey(qint64 value)
{
    return QStringLiteral("%1").arg(quint64(value), 4, 16, QLatin1Char('0'));
}

} // namespace

QString usbIDsNameFromFile(const QString& databasePath, qint64 vendorID, qint64 deviceID)
{
    if (vendorID < 0 || deviceID < 0)
        return {};
    QFile file(databasePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};

    const QString vendorKey = hexKey(vendorID);
    const QString deviceKey = hexKey(deviceID);
    bool inVendor = false;
    QString vendorName;

    qsizetype position = 0;
    const qsizetype length = text.size();
    while (position <= length) {
        qsizetype end = position;
        while (end < length && !isLineBreak(text[end]))
            ++end;
        const QStringView line = QStringView(text).sliced(position, end - position);
        position = end + 1;

        if (line.startsWith(QLatin1Char('#')))
            continue;
        const QStringView trimmed = trimBlanksAndTabs(line);
        if (trimmed.isEmpty())
            continue;

        if (!line.startsWith(QLatin1Char('\t'))) {
            if (startsWithKey(trimmed, vendorKey)) {
                vendorName = nameAfterKey(trimmed);
                inVendor = true;
                continue;
            }
            // The vendor's block ended without the device.
            if (inVendor)
                return {};
            continue;
        }

        if (!inVendor)
            continue;
        if (startsWithKey(trimmed, deviceKey)) {
            const QString deviceName = nameAfterKey(trimmed);
            return vendorName.isEmpty() ? deviceName : vendorName + QLatin1Char(' ') + deviceName;
        }
    }
    return {};
}

QString usbIDsName(const AppBundle& bundle, qint64 vendorID, qint64 deviceID)
{
    const QString tools = bundle.toolsPath();
    if (tools.isEmpty())
        return {};
    return usbIDsNameFromFile(tools + QStringLiteral("/usb.ids"), vendorID, deviceID);
}

} // namespace velkor
