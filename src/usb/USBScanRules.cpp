#include "usb/USBScanRules.h"

#include "files/TextDecoding.h"

#include "usb/LocalizedCompare.h"

#include <QSet>
#include <QStringDecoder>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
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

// Whole-text integer as the system's integer parser reads it: an optional sign, then one or
// more digits of the base, nothing else; overflow fails.
std::optional<qint64> parseInteger(QStringView text, int base)
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
        return magnitude == quint64(std::numeric_limits<qint64>::max()) + 1 ? std::numeric_limits<qint64>::min()
                                                                             : -qint64(magnitude);
    return qint64(magnitude);
}

std::optional<qint64> numberValue(const QVariant& value)
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
        // Above the signed range the value wraps negative, which no caller accepts as an ID or
        // a port number.
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
    if (const auto number = numberValue(value))
        return QString::number(*number);
    if (value.typeId() == QMetaType::QVariantMap)
        return describeMap(value.toMap(), depth);
    if (value.typeId() == QMetaType::QVariantList || isText(value) || isBytes(value))
        return stringValue(value, depth);
    return value.toString();
}

// The port's address bytes; nothing when its number does not fit in the 4 bytes, and then the
// port is left out rather than stored under a truncated, wrong number.
std::optional<QByteArray> portBytesFrom(const QVariantMap& properties, const QString& name, const QString& location)
{
    for (const QString& key : {QStringLiteral("port"), QStringLiteral("usb-port-number")}) {
        if (auto bytes = dataProperty(key, properties))
            return *bytes;
    }
    std::optional<qint64> number = intProperty(QStringLiteral("port"), properties);
    if (!number)
        number = intProperty(QStringLiteral("usb-port-number"), properties);
    if (!number)
        number = inferredPortNumber(name, location);
    if (*number < 0 || *number > qint64(std::numeric_limits<quint32>::max()))
        return std::nullopt;
    return portNumberBytes(quint32(*number));
}

std::optional<qint64> connectorProperty(const QVariantMap& properties)
{
    for (const QString& key : {QStringLiteral("UsbConnector"), QStringLiteral("usb-port-type"), QStringLiteral("portType")}) {
        if (auto connector = intProperty(key, properties))
            return connector;
    }
    return std::nullopt;
}

qint64 inferredConnectorWith(const QString& name, const NativeUSBNode& node, const QString& attachedDevice)
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
    const QVariantMap described = normalizedDictionary(controller.properties.value(QStringLiteral("ports")));
    if (described.isEmpty())
        return;
    QStringList keys = described.keys();
    std::stable_sort(keys.begin(), keys.end(), localizedStandardLess);

    QString controllerAttached;
    bool attachedKnown = false;
    for (const QString& key : keys) {
        const QString name = shortName(key).toUpper();
        if (!isPortName(name) || seen.contains(name))
            continue;
        seen.insert(name);
        const QVariantMap port = normalizedDictionary(described.value(key));
        const auto bytes = portBytesFrom(port, name, controller.location);
        if (!bytes)
            continue;
        std::optional<qint64> connector = connectorProperty(port);
        if (!connector) {
            if (!attachedKnown) {
                controllerAttached = firstAttachedDeviceName(controller);
                attachedKnown = true;
            }
            connector = inferredConnectorWith(name, controller, controllerAttached);
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
    const auto code = intProperty(QStringLiteral("class-code"), node.properties);
    return code && isXHCIClassCode(*code);
}

std::optional<qint64> intProperty(const QString& key, const QVariantMap& properties)
{
    const auto found = properties.constFind(key);
    if (found == properties.constEnd())
        return std::nullopt;
    const QVariant& value = found.value();
    if (const auto number = numberValue(value))
        return number;
    if (isBytes(value))
        return qint64(littleEndianInt(value.toByteArray()));
    if (isText(value)) {
        const QString text = value.toString().trimmed();
        if (text.startsWith(QStringLiteral("0x")))
            return parseInteger(QStringView(text).sliced(2), 16);
        return parseInteger(text, 10);
    }
    return std::nullopt;
}

std::optional<std::optional<QByteArray>> dataProperty(const QString& key, const QVariantMap& properties)
{
    const auto found = properties.constFind(key);
    if (found == properties.constEnd())
        return std::nullopt;
    const QVariant& value = found.value();
    if (isBytes(value))
        return std::optional<QByteArray>(value.toByteArray());
    if (const auto number = numberValue(value)) {
        if (*number < 0 || *number > qint64(std::numeric_limits<quint32>::max()))
            return std::optional<QByteArray>();
        return std::optional<QByteArray>(portNumberBytes(quint32(*number)));
    }
    return std::nullopt;
}

quint32 littleEndianInt(const QByteArray& bytes)
{
    return portNumber(bytes);
}

std::optional<QString> stringFromNullTerminatedData(const QByteArray& bytes)
{
    const qsizetype zero = bytes.indexOf('\0');
    const QByteArray head = zero >= 0 ? bytes.left(zero) : bytes;
    if (head.isEmpty())
        return std::nullopt;
    return decodeUtf8Strictly(head);
}

QVariantMap normalizedDictionary(const QVariant& value)
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

QString registryName(const QVariantMap& properties, const QString& fallbackClass)
{
    const QVariant ioName = properties.value(QStringLiteral("IOName"));
    if (isText(ioName) && !ioName.toString().isEmpty())
        return ioName.toString();
    const QVariant name = properties.value(QStringLiteral("name"));
    if (isText(name) && !name.toString().isEmpty())
        return name.toString();
    if (isBytes(name)) {
        if (auto text = stringFromNullTerminatedData(name.toByteArray()); text && !text->isEmpty())
            return *text;
    }
    const QVariant compatible = properties.value(QStringLiteral("compatible"));
    if (isBytes(compatible)) {
        if (auto text = stringFromNullTerminatedData(compatible.toByteArray()); text && !text->isEmpty())
            return *text;
    }
    return fallbackClass;
}

QString registryLocation(const QVariantMap& properties)
{
    const QVariant location = properties.value(QStringLiteral("location"));
    if (isText(location) && !location.toString().isEmpty())
        return location.toString().toUpper();
    if (isBytes(location)) {
        if (auto text = stringFromNullTerminatedData(location.toByteArray()); text && !text->isEmpty())
            return text->toUpper();
    }
    for (const QString& key : {QStringLiteral("locationID"), QStringLiteral("port"), QStringLiteral("usb-port-number")}) {
        if (const auto number = intProperty(key, properties))
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
        const auto vendor = parseInteger(vendorText, 16);
        const auto device = parseInteger(deviceText, 16);
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
        const auto value = parseInteger(pieces.last(), 16);
        if (value && *value > 0)
            return *value;
    }
    QString digits;
    for (QChar c : name) {
        if (c.isNumber())
            digits.append(c);
    }
    // Numeric characters other than 0-9 fail the parse, and then the number is 0.
    qint64 number = parseInteger(digits, 10).value_or(0);
    if (name.startsWith(QStringLiteral("SS")))
        number += 16;
    return number;
}

qint64 inferredConnector(const QString& name, const NativeUSBNode& node)
{
    return inferredConnectorWith(name, node, firstAttachedDeviceName(node));
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
        const auto bytes = portBytesFrom(node->properties, name, node->location);
        if (!bytes)
            continue;
        const QString attached = firstAttachedDeviceName(*node);
        USBPortMap port;
        port.name = name;
        port.location = node->location;
        const auto connector = connectorProperty(node->properties);
        port.connector = connector ? *connector : inferredConnectorWith(name, *node, attached);
        port.portData = *bytes;
        port.activeDevice = attached;
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
