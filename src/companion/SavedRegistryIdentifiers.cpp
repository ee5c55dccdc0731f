#include "companion/SavedRegistryIdentifiers.h"

#include "registry/Registry.h"

#include <QRegularExpression>
#include <QStringList>
#include <QVariantList>

#include <memory>

namespace velkor {
namespace {

// Bounds of the walk; a saved registry from a real Mac stays far below them.
constexpr int kMostEntries = 1000000;
constexpr size_t kMostEntryDepth = 4096;
constexpr int kMostValueDepth = 64;

enum class Rule { None, PlatformSerial, DeviceSerial, UUID, MACAddress, LoginName, HostName };

bool isOneOf(const QString& key, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (key == QLatin1String(name))
            return true;
    }
    return false;
}

// What a property key names. NVRAM variables carry their vendor GUID in front of the name
// ("4D1EDE05-38C7-4A6A-9CC6-4BCCA8B38C14:MLB").
Rule ruleForKey(const QString& key)
{
    const QString variable = key.section(QLatin1Char(':'), -1);
    if (isOneOf(key, {"IOPlatformSerialNumber", "IOPlatformSystemSerialNumber", "SystemSerialNumber", "serial-number",
                      "board-serial-number"})
        || variable.compare(QLatin1String("MLB"), Qt::CaseInsensitive) == 0)
        return Rule::PlatformSerial;
    if (isOneOf(key, {"IOPlatformUUID", "platform-uuid", "system-id", "SystemUUID"}))
        return Rule::UUID;
    if (isOneOf(key, {"IOMACAddress", "local-mac-address", "mac-address", "BD_ADDR", "BluetoothDeviceAddress", "DeviceAddress",
                      "BluetoothAddress"})
        || variable.compare(QLatin1String("ROM"), Qt::CaseInsensitive) == 0)
        return Rule::MACAddress;
    if (isOneOf(key, {"kCGSSessionUserNameKey", "kCGSessionLongUserNameKey"}))
        return Rule::LoginName;
    if (isOneOf(key, {"BluetoothLocalName", "ComputerName", "LocalHostName"}))
        return Rule::HostName;
    // "USB Serial Number", "kUSBSerialNumberString", "Serial Number" (disks), "BatterySerialNumber",
    // "CameraModuleSerialString", "SerialNumber", "Serial"...
    static const QRegularExpression serialKey(QStringLiteral("serial[ _-]?(number)?[ _-]?(string)?$"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (serialKey.match(key).hasMatch())
        return Rule::DeviceSerial;
    return Rule::None;
}

// The printable texts in data, split at zero bytes: "J1GH\0\0C02TL5XCJ1GH\0" gives two.
QStringList dataTexts(const QByteArray& data)
{
    QStringList texts;
    for (const QByteArray& piece : data.split('\0')) {
        const QByteArray trimmed = piece.trimmed();
        if (trimmed.isEmpty())
            continue;
        bool printable = true;
        for (const char c : trimmed)
            printable = printable && (uchar(c) >= 0x20 && uchar(c) != 0x7f);
        if (printable)
            texts.append(QString::fromUtf8(trimmed));
    }
    return texts;
}

// Six address bytes, possibly followed by zero padding, as "3c:15:c2:e4:62:f8".
QString macFromData(const QByteArray& data)
{
    if (data.size() < 6 || data.mid(6).count('\0') != data.size() - 6)
        return {};
    return QString::fromLatin1(data.left(6).toHex(':'));
}

QString uuidFromData(const QByteArray& data)
{
    if (data.size() != 16)
        return {};
    const QByteArray hex = data.toHex().toUpper();
    return QString::fromLatin1(hex.mid(0, 8) + '-' + hex.mid(8, 4) + '-' + hex.mid(12, 4) + '-' + hex.mid(16, 4) + '-' + hex.mid(20));
}

bool looksLikeMACAddress(const QString& text)
{
    static const QRegularExpression mac(QStringLiteral("^[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}$"));
    return mac.match(text).hasMatch();
}

void addValue(std::vector<MachineIdentifier>& found, Rule rule, const QVariant& value)
{
    IdentifierKind kind = IdentifierKind::DeviceSerial;
    switch (rule) {
    case Rule::None: return;
    case Rule::PlatformSerial: kind = IdentifierKind::SerialNumber; break;
    case Rule::DeviceSerial: kind = IdentifierKind::DeviceSerial; break;
    case Rule::UUID: kind = IdentifierKind::UUID; break;
    case Rule::MACAddress: kind = IdentifierKind::MACAddress; break;
    case Rule::LoginName: kind = IdentifierKind::LoginName; break;
    case Rule::HostName: kind = IdentifierKind::HostName; break;
    }
    QStringList texts;
    if (value.typeId() == QMetaType::QString) {
        texts.append(value.toString().trimmed());
    } else if (value.typeId() == QMetaType::QByteArray) {
        const QByteArray data = value.toByteArray();
        const QString binary = rule == Rule::MACAddress ? macFromData(data) : rule == Rule::UUID ? uuidFromData(data) : QString();
        texts = binary.isEmpty() ? dataTexts(data) : QStringList{binary};
    }
    for (const QString& text : texts) {
        if (text.isEmpty())
            continue;
        // Bluetooth controllers give their address under "SerialNumber" too.
        found.push_back({looksLikeMACAddress(text) ? IdentifierKind::MACAddress : kind, text});
    }
}

void collectFromProperties(const QVariantMap& properties, std::vector<MachineIdentifier>& found)
{
    struct Pending {
        Rule rule;
        QVariant value;
        int depth;
    };
    std::vector<Pending> pending;
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        pending.push_back({ruleForKey(it.key()), it.value(), 0});
    while (!pending.empty()) {
        Pending current = std::move(pending.back());
        pending.pop_back();
        if (current.value.typeId() == QMetaType::QVariantMap) {
            if (current.depth >= kMostValueDepth)
                continue;
            const QVariantMap map = current.value.toMap();
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                pending.push_back({ruleForKey(it.key()), it.value(), current.depth + 1});
        } else if (current.value.typeId() == QMetaType::QVariantList) {
            if (current.depth >= kMostValueDepth)
                continue;
            // The elements of a list stand under the list's key.
            for (const QVariant& element : current.value.toList())
                pending.push_back({current.rule, element, current.depth + 1});
        } else {
            addValue(found, current.rule, current.value);
        }
    }
}

} // namespace

std::vector<MachineIdentifier> savedRegistryIdentifiers(const Registry& registry)
{
    std::vector<MachineIdentifier> found;
    std::unique_ptr<RegistryEntry> root = registry.rootEntry();
    if (!root)
        return found;
    collectFromProperties(root->properties(), found);
    std::vector<std::unique_ptr<RegistryIterator>> pending;
    pending.push_back(root->childIterator(kIOServicePlane));
    int visited = 1;
    while (!pending.empty() && visited < kMostEntries) {
        std::unique_ptr<RegistryEntry> entry = pending.back() ? pending.back()->next() : nullptr;
        if (!entry) {
            pending.pop_back();
            continue;
        }
        ++visited;
        collectFromProperties(entry->properties(), found);
        if (pending.size() < kMostEntryDepth)
            pending.push_back(entry->childIterator(kIOServicePlane));
    }
    return found;
}

} // namespace velkor
