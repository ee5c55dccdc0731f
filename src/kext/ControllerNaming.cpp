#include "kext/ControllerNaming.h"


#include <map>

namespace velkor {
namespace {

constexpr qint64 kIntel = 0x8086;
constexpr qint64 kASMedia = 0x1B21;

struct TemplateShape {
    quint32 count;
    QString highSpeedPrefix;
    quint32 highSpeedCount;
    quint32 highSpeedFirstPort;
    QString superSpeedPrefix;
    quint32 superSpeedCount;
    quint32 superSpeedFirstPort;
};

USBPortTemplate expand(const TemplateShape& shape)
{
    USBPortTemplate layout;
    layout.count = shape.count;
    const auto addGroup = [&layout](const QString& prefix, quint32 count, quint32 firstPort) {
        for (quint32 i = 1; i <= count; ++i)
            layout.ports.push_back({prefix + QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')), firstPort + i - 1, 3});
    };
    addGroup(shape.highSpeedPrefix, shape.highSpeedCount, shape.highSpeedFirstPort);
    addGroup(shape.superSpeedPrefix, shape.superSpeedCount, shape.superSpeedFirstPort);
    return layout;
}

const std::map<QString, USBPortTemplate>& templateTable()
{
    static const std::map<QString, USBPortTemplate> table = [] {
        const QString hs = QStringLiteral("HS");
        const QString ss = QStringLiteral("SS");
        // HS01-HS14 on ports 1-14 and SS01-SS10 on ports 17-26: the layout of most recent
        // Intel PCH controllers.
        const TemplateShape pch26{26, hs, 14, 1, ss, 10, 17};
        std::map<QString, USBPortTemplate> entries;
        entries[QStringLiteral("1b21_3241")] = expand({8, QStringLiteral("HSS"), 2, 1, QStringLiteral("SSS"), 2, 3});
        entries[QStringLiteral("8086_02ed")] = expand({16, hs, 10, 1, ss, 4, 13});
        entries[QStringLiteral("8086_06ed")] = expand(pch26);
        entries[QStringLiteral("8086_1e31")] = expand({8, hs, 4, 1, ss, 4, 5});
        entries[QStringLiteral("8086_34ed")] = expand({18, hs, 12, 1, ss, 4, 13});
        for (const char* key : {"8086_43ed", "8086_51ed", "8086_7a60", "8086_7ae0", "8086_7exx", "8086_7f6e", "8086_a0ed",
                                "8086_a12f", "8086_a1af", "8086_a2af", "8086_a36d", "8086_a3af", "8086_a87d"})
            entries[QString::fromLatin1(key)] = expand(pch26);
        entries[QStringLiteral("8086_8xxx")] = expand({21, hs, 14, 1, ss, 6, 16});
        entries[QStringLiteral("8086_9cb1")] = expand({15, hs, 11, 1, ss, 4, 12});
        entries[QStringLiteral("8086_9dxx")] = expand({18, hs, 10, 1, ss, 6, 13});
        entries[QStringLiteral("8086_9xxx")] = expand({13, hs, 9, 1, ss, 4, 10});
        return entries;
    }();
    return table;
}

bool isAlphanumeric(char32_t scalar)
{
    switch (QChar::category(scalar)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

} // namespace

QString usbXHCIClassName(const USBControllerMap& controller)
{
    const QString provider = controller.providerClass.trimmed();
    if (provider.contains(QStringLiteral("USBXHCI")))
        return provider;
    if (controller.vendorID == kIntel) {
        // Lynx Point and Wildcat Point: device IDs 0x8C00-0x8DFF and 0x9C00-0x9DFF.
        if (((controller.deviceID | 0x1000) >> 9) == 0x4E)
            return QStringLiteral("AppleUSBXHCILPTH");
        return QStringLiteral("AppleUSBXHCISPT");
    }
    return QStringLiteral("AppleUSBXHCIPCI");
}

QString sanitizePersonalityName(const QString& text)
{
    // By Unicode scalar, so a letter outside the basic plane stays one letter.
    QList<uint> scalars = text.toUcs4();
    for (uint& scalar : scalars) {
        if (!isAlphanumeric(char32_t(scalar)) && scalar != U'-' && scalar != U'_')
            scalar = U'_';
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(scalars.constData()), scalars.size());
}

std::optional<QString> legacyUSBPortTemplateKey(const USBControllerMap& controller)
{
    const qint64 device = controller.deviceID;
    if (controller.vendorID == kASMedia && device == 0x3241)
        return QStringLiteral("1b21_3241");
    if (controller.vendorID != kIntel)
        return std::nullopt;
    static const qint64 exact[] = {0x02ED, 0x06ED, 0x1E31, 0x34ED, 0x43ED, 0x51ED, 0x7A60, 0x7AE0, 0x7F6E,
                                   0x9CB1, 0xA0ED, 0xA12F, 0xA1AF, 0xA2AF, 0xA36D, 0xA3AF, 0xA87D};
    for (qint64 id : exact) {
        if (device == id)
            return QStringLiteral("8086_%1").arg(quint64(device), 4, 16, QLatin1Char('0'));
    }
    if ((device & 0xFF00) == 0x7E00)
        return QStringLiteral("8086_7exx");
    if ((device & 0xF000) == 0x8000)
        return QStringLiteral("8086_8xxx");
    if ((device & 0xFF00) == 0x9D00)
        return QStringLiteral("8086_9dxx");
    if ((device & 0xF000) == 0x9000)
        return QStringLiteral("8086_9xxx");
    return std::nullopt;
}

std::optional<USBPortTemplate> legacyUSBPortTemplate(const QString& key)
{
    const auto& table = templateTable();
    const auto found = table.find(key);
    if (found == table.end())
        return std::nullopt;
    return found->second;
}

QList<USBPortMap> legacyUSBPortTemplatePorts(const USBControllerMap& controller)
{
    const auto key = legacyUSBPortTemplateKey(controller);
    if (!key)
        return {};
    const auto layout = legacyUSBPortTemplate(*key);
    if (!layout)
        return {};
    QList<USBPortMap> ports;
    for (const USBPortTemplatePort& templatePort : layout->ports) {
        USBPortMap port;
        port.name = templatePort.name;
        port.location = QStringLiteral("template");
        port.connector = templatePort.connector;
        port.portData = littleEndianBytes(templatePort.port);
        ports.append(port);
    }
    return ports;
}

} // namespace velkor
