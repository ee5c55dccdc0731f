#include "usb/USBScanRules.h"

#include "files/TextDecoding.h"

#include "registry/RegistryProperties.h"
#include "usb/LocalizedCompare.h"

#include <QSet>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace velkor::usbscan {
namespace {

const QString kPortNamePattern = QStringLiteral("^(HS|SS|USR|PRT|HSP|SSP)[A-Z0-9]{1,5}$");
const QStringList kPCIIdentityPatterns = {
    QStringLiteral("pci([0-9a-fA-F]{4})[, ]([0-9a-fA-F]{4})"),
    QStringLiteral("([0-9a-fA-F]{4})[:_]([0-9a-fA-F]{4})"),
};
const QStringList kPCIIdentityKeys = {
    QStringLiteral("IOName"),          QStringLiteral("name"),           QStringLiteral("compatible"),
    QStringLiteral("acpi-path"),       QStringLiteral("IOProviderClass"), QStringLiteral("device_type"),
};
const QStringList kAttachedDeviceSkipPrefixes = {
    QStringLiteral("AppleUSB"),
    QStringLiteral("IOUSB"),
    QStringLiteral("IOService"),
};

// Nested lists and dictionaries in an identity property are rendered this deep at most.
constexpr int kMaxValueDepth = 16;

icu::UnicodeString toUnicode(const QString& text)
{
    return icu::UnicodeString(false, reinterpret_cast<const char16_t*>(text.utf16()), int32_t(text.size()));
}

QString fromUnicode(const icu::UnicodeString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

// A compiled pattern, shared read-only; each search makes its own matcher. Null when the
// pattern does not compile, and such a pattern is passed over.
std::shared_ptr<const icu::RegexPattern> compilePattern(const QString& pattern, uint32_t flags)
{
    UErrorCode status = U_ZERO_ERROR;
    std::shared_ptr<const icu::RegexPattern> compiled(icu::RegexPattern::compile(toUnicode(pattern), flags, status));
    if (U_FAILURE(status))
        return nullptr;
    return compiled;
}

const icu::RegexPattern* portNamePattern()
{
    static const auto pattern = compilePattern(kPortNamePattern, 0);
    return pattern.get();
}

const std::vector<std::shared_ptr<const icu::RegexPattern>>& pciIdentityPatterns()
{
    static const auto patterns = [] {
        std::vector<std::shared_ptr<const icu::RegexPattern>> compiled;
        for (const QString& pattern : kPCIIdentityPatterns)
            compiled.push_back(compilePattern(pattern, UREGEX_CASE_INSENSITIVE));
        return compiled;
    }();
    return patterns;
}

bool isText(const QVariant& value) { return value.typeId() == QMetaType::QString; }
bool isBytes(const QVariant& value) { return value.typeId() == QMetaType::QByteArray; }


QString describeValue(const QVariant& value, int depth);

QString describeMap(const QVariantMap& map, int depth)
{
    QString text = QStringLiteral("{");
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        text += it.key() + QStringLiteral(" = ") + describeValue(it.value(), depth + 1) + QStringLiteral("; ");
    return text + QLatin1Char('}');
}

QString stringValue(const QVariant& value, int depth)
{
    if (depth > kMaxValueDepth)
        return {};
    if (isText(value))
        return value.toString();
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList parts;
        for (const QVariant& element : value.toList())
            parts.append(stringValue(element, depth + 1));
        return parts.join(QLatin1Char(' '));
    }
    if (isBytes(value)) {
        QByteArray bytes = value.toByteArray();
        bytes.replace('\0', ' ');
        return decodeUtf8Strictly(bytes).value_or(QString());
    }
    return describeValue(value, depth);
}

// The text a value stands for when it is none of text, list or bytes.
QString describeValue(const QVariant& value, int depth)
{
    if (depth > kMaxValueDepth)
        return {};
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (const auto number = registryNumber(value))
        return QString::number(*number);
    if (value.typeId() == QMetaType::QVariantMap)
        return describeMap(value.toMap(), depth);
    if (value.typeId() == QMetaType::QVariantList || isText(value) || isBytes(value))
        return stringValue(value, depth);
    return value.toString();
}

// The port's address bytes; nothing when its number does not fit in the 4 bytes, and then the
// port is left out rather than stored under a truncated, wrong number.
std::optional<QByteArray> portBytesFrom(const RegistryProperties& properties, const QString& name, const QString& location)
{
    for (const QString& key : {QStringLiteral("port"), QStringLiteral("usb-port-number")}) {
        if (auto bytes = properties.bytes(key))
            return bytes;
    }
    std::optional<qint64> number = properties.number(QStringLiteral("port"));
    if (!number)
        number = properties.number(QStringLiteral("usb-port-number"));
    if (!number)
        number = inferredPortNumber(name, location);
    if (*number < 0 || *number > qint64(std::numeric_limits<quint32>::max()))
        return std::nullopt;
    return littleEndianBytes(quint32(*number));
}

std::optional<qint64> connectorProperty(const RegistryProperties& properties)
{
    for (const QString& key : {QStringLiteral("UsbConnector"), QStringLiteral("usb-port-type"), QStringLiteral("portType")}) {
        if (auto connector = properties.number(key))
            return connector;
    }
    return std::nullopt;
}

qint64 inferredConnector(const QString& name, const NativeUSBNode& node, const QString& attachedDevice)
{
    const QString text = (node.name + QLatin1Char(' ') + node.className + QLatin1Char(' ') + attachedDevice).toLower();
    if (text.contains(QStringLiteral("bluetooth")) || text.contains(QStringLiteral("internal")))
        return 255;
    if (name.startsWith(QStringLiteral("USR")))
        return 255;
    return 3;
}

// Ports described by the controller's own "ports" property. They come first, so a port node
// of the same name found later is ignored.
void appendPortsFromControllerProperties(const NativeUSBNode& controller, QList<USBPortMap>& ports, QSet<QString>& seen)
{
    const RegistryProperties described(RegistryProperties(controller.properties).dictionary(QStringLiteral("ports")));
    if (described.all().isEmpty())
        return;
    QStringList keys = described.all().keys();
    std::stable_sort(keys.begin(), keys.end(), localizedStandardLess);

    QString controllerAttached;
    bool attachedKnown = false;
    for (const QString& key : keys) {
        const QString name = shortName(key).toUpper();
        if (!isPortName(name) || seen.contains(name))
            continue;
        seen.insert(name);
        const RegistryProperties port(described.dictionary(key));
        const auto bytes = portBytesFrom(port, name, controller.location);
        if (!bytes)
            continue;
        std::optional<qint64> connector = connectorProperty(port);
        if (!connector) {
            if (!attachedKnown) {
                controllerAttached = firstAttachedDeviceName(controller);
                attachedKnown = true;
            }
            connector = inferredConnector(name, controller, controllerAttached);
        }
        USBPortMap entry;
        entry.name = name;
        entry.location = controller.location;
        entry.connector = *connector;
        entry.portData = *bytes;
        ports.append(entry);
    }
}

} // namespace

QString shortName(const QString& text)
{
    const qsizetype at = text.indexOf(QLatin1Char('@'));
    if (at >= 0)
        return text.left(at);
    return text.trimmed();
}

bool isPortName(const QString& upperShortName)
{
    // The pattern needs 3 to 8 characters (up to two more for a final line break, which "$"
    // accepts) and one of the initials H, S, U, P; anything else is turned away before the
    // regular expression.
    const qsizetype size = upperShortName.size();
    if (size < 3 || size > 10)
        return false;
    const QChar first = upperShortName[0];
    if (first != QLatin1Char('H') && first != QLatin1Char('S') && first != QLatin1Char('U') && first != QLatin1Char('P'))
        return false;
    const icu::RegexPattern* pattern = portNamePattern();
    if (!pattern)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString subject = toUnicode(upperShortName);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
    if (U_FAILURE(status) || !matcher)
        return false;
    const bool found = matcher->find(0, status);
    return U_SUCCESS(status) && found;
}

bool isXHCIClassCode(qint64 classCode)
{
    const quint32 code = quint32(quint64(classCode) & 0xFFFFFFFFu);
    return code == 0x000C0330u || code == 0x0030030Cu || code == 0x0C033000u || code == 0x30030C00u
        || (code & 0xFFFFFF00u) == 0x0C033000u || (code & 0x00FFFFFFu) == 0x000C0330u;
}

bool hasXHCIClassCode(const NativeUSBNode& node)
{
    const auto code = RegistryProperties(node.properties).number(QStringLiteral("class-code"));
    return code && isXHCIClassCode(*code);
}

QString registryName(const QVariantMap& properties, const QString& fallbackClass)
{
    const RegistryProperties read(properties);
    return read.text(QStringLiteral("IOName"),
                     read.text(QStringLiteral("name"), read.text(QStringLiteral("compatible"), fallbackClass)));
}

QString registryLocation(const QVariantMap& properties)
{
    const RegistryProperties read(properties);
    if (const QString location = read.text(QStringLiteral("location")); !location.isEmpty())
        return location.toUpper();
    for (const QString& key : {QStringLiteral("locationID"), QStringLiteral("port"), QStringLiteral("usb-port-number")}) {
        if (const auto number = read.number(key))
            return QStringLiteral("%1").arg(quint64(*number), 8, 16, QLatin1Char('0')).toUpper();
    }
    return {};
}

QString stringValueForPCIIdentity(const QVariant& value)
{
    return stringValue(value, 0);
}

QString pciIdentitySearchText(const NativeUSBNode& node)
{
    QStringList parts{node.name, node.location, node.className};
    for (const QString& key : kPCIIdentityKeys) {
        const auto found = node.properties.constFind(key);
        if (found != node.properties.constEnd())
            parts.append(stringValueForPCIIdentity(found.value()));
    }
    return parts.join(QLatin1Char(' '));
}

std::optional<std::pair<qint64, qint64>> parsePCIIdentity(const QString& text)
{
    const icu::UnicodeString subject = toUnicode(text);
    for (const auto& pattern : pciIdentityPatterns()) {
        if (!pattern)
            continue;
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
        if (U_FAILURE(status) || !matcher || !matcher->find(0, status) || U_FAILURE(status))
            continue;
        if (matcher->groupCount() < 2)
            continue;
        const QString vendorText = fromUnicode(matcher->group(1, status));
        const QString deviceText = fromUnicode(matcher->group(2, status));
        if (U_FAILURE(status))
            continue;
        const auto vendor = wholeInteger(vendorText, 16);
        const auto device = wholeInteger(deviceText, 16);
        if (vendor && device && *vendor > 0 && *device > 0)
            return std::make_pair(*vendor, *device);
    }
    return std::nullopt;
}

bool isUSBPortNode(const NativeUSBNode& node)
{
    if (!isPortName(shortName(node.name).toUpper()))
        return false;
    if (node.className.contains(QStringLiteral("Port")) || node.className.contains(QStringLiteral("XHCI")))
        return true;
    return node.properties.contains(QStringLiteral("UsbConnector")) || node.properties.contains(QStringLiteral("usb-port-type"))
        || node.properties.contains(QStringLiteral("port"));
}

qint64 inferredPortNumber(const QString& name, const QString& location)
{
    const QStringList pieces = location.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (!pieces.isEmpty()) {
        const auto value = wholeInteger(pieces.last(), 16);
        if (value && *value > 0)
            return *value;
    }
    QString digits;
    for (QChar c : name) {
        if (c.isNumber())
            digits.append(c);
    }
    // Numeric characters other than 0-9 fail the parse, and then the number is 0.
    qint64 number = wholeInteger(digits, 10).value_or(0);
    if (name.startsWith(QStringLiteral("SS")))
        number += 16;
    return number;
}

QString firstAttachedDeviceName(const NativeUSBNode& node)
{
    // Depth-first over the descendants in order, the same order a recursive search takes.
    std::vector<const NativeUSBNode*> pending;
    for (auto it = node.children.rbegin(); it != node.children.rend(); ++it)
        pending.push_back(it->get());
    while (!pending.empty()) {
        const NativeUSBNode* child = pending.back();
        pending.pop_back();
        const QString name = shortName(child->name);
        const bool skipped = std::any_of(kAttachedDeviceSkipPrefixes.begin(), kAttachedDeviceSkipPrefixes.end(),
                                         [&name](const QString& prefix) { return name.startsWith(prefix); });
        if (!name.isEmpty() && !skipped && !isUSBPortNode(*child))
            return name;
        for (auto it = child->children.rbegin(); it != child->children.rend(); ++it)
            pending.push_back(it->get());
    }
    return {};
}

std::vector<const NativeUSBNode*> flatten(const NativeUSBNode& node)
{
    std::vector<const NativeUSBNode*> flat;
    std::vector<const NativeUSBNode*> pending{&node};
    while (!pending.empty()) {
        const NativeUSBNode* current = pending.back();
        pending.pop_back();
        flat.push_back(current);
        for (auto it = current->children.rbegin(); it != current->children.rend(); ++it)
            pending.push_back(it->get());
    }
    return flat;
}

QList<USBPortMap> scanPorts(const NativeUSBNode& controller)
{
    QList<USBPortMap> ports;
    QSet<QString> seen;
    appendPortsFromControllerProperties(controller, ports, seen);

    for (const NativeUSBNode* node : flatten(controller)) {
        if (!isUSBPortNode(*node))
            continue;
        const QString name = shortName(node->name).toUpper();
        if (name.isEmpty() || seen.contains(name))
            continue;
        seen.insert(name);
        const RegistryProperties properties(node->properties);
        const auto bytes = portBytesFrom(properties, name, node->location);
        if (!bytes)
            continue;
        const QString attached = firstAttachedDeviceName(*node);
        USBPortMap port;
        port.name = name;
        port.location = node->location;
        const auto connector = connectorProperty(properties);
        port.connector = connector ? *connector : inferredConnector(name, *node, attached);
        port.connectorInferred = !connector && properties.text(kConnectorSourceKey) == kInferred;
        port.portData = *bytes;
        port.activeDevice = attached;
        port.numberInferred = properties.text(kPortNumberSourceKey) == kInferred;
        port.firmwareName = properties.text(kFirmwarePortNameKey);
        if (properties.text(kConnectTypeKey) == kConnectTypeNotUsed)
            port.leftOutReason = QStringLiteral("the firmware marks it \"not used\"");
        ports.append(port);
    }

    std::stable_sort(ports.begin(), ports.end(), [](const USBPortMap& left, const USBPortMap& right) {
        const quint32 l = portNumber(left);
        const quint32 r = portNumber(right);
        if (l != r)
            return l < r;
        return localizedStandardLess(left.name, right.name);
    });
    return ports;
}

} // namespace velkor::usbscan
