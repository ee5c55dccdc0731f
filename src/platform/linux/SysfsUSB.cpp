#include "platform/linux/SysfsBuilders.h"

#include "usb/USBScanRules.h"

#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <utility>
#include <vector>

namespace velkor::sysfs {
namespace {

// USB allows five tiers of hubs below the root hub; deeper folders are not USB.
constexpr int kMaxHubTiers = 6;
constexpr int kMaxPortsPerHub = 255;
constexpr int kMaxDevicesPerController = 1024;

// Connector types as the firmware's _UPC and a Mac's "UsbConnector" give them.
constexpr qint64 kConnectorUSB2StandardA = 0;
constexpr qint64 kConnectorUSB3StandardA = 3;
constexpr qint64 kConnectorTypeCUSB2Only = 8;
constexpr qint64 kConnectorTypeCWithSwitch = 9;
constexpr qint64 kConnectorInternal = 255;

QString folderName(const QString& dir)
{
    return dir.mid(dir.lastIndexOf(QLatin1Char('/')) + 1);
}

struct RootPort {
    QString dir;
    int index = 0;            // the port number on its root hub, from 1
    bool superSpeed = false;  // on the USB 3 root hub
    QString deviceDir;        // the attached device's folder, or empty
    const AcpiDevice* firmware = nullptr;
    QString name;
    QString firmwareName;     // the firmware's name when name had to replace it
    quint32 number = 0;       // the xHCI port number
    bool numberInferred = false;
    std::optional<qint64> connector; // none when Linux knows nothing of the connector
    QString connectType;      // the kernel's view of the firmware's _UPC: "hotplug", "not used"...
};

// The xHCI "Supported Protocol" capabilities: which of the controller's own port numbers speak
// USB 2 and which USB 3. The root hubs number their ports in that order, so the n-th USB 2 port
// of the root hub is the n-th USB 2 port here.
struct PortLayout {
    std::vector<quint32> usb2;
    std::vector<quint32> usb3;
};

// The kernel's debugfs shows the capabilities to root; otherwise the ranges root handed over
// for the controller are used.
std::optional<PortLayout> controllerPortLayout(const ScanContext& context, const QString& pciDir)
{
    const SysfsReader& reader = context.reader;
    const QString address = folderName(pciDir);
    const QString debugDir = reader.path(QStringLiteral("/sys/kernel/debug/usb/xhci/")) + address;
    std::vector<XhciPortRange> ranges;
    for (const QString& file : reader.files(debugDir)) {
        if (file.startsWith(QLatin1String("reg-ext-protocol:"))) {
            if (const auto range = parseXhciProtocolCapability(reader.text(debugDir + QLatin1Char('/') + file)))
                ranges.push_back(*range);
        }
    }
    if (ranges.empty()) {
        if (const auto handedOver = context.xhciPortRanges.find(address); handedOver != context.xhciPortRanges.end())
            ranges = handedOver->second;
    }
    PortLayout layout;
    for (const XhciPortRange& range : ranges) {
        auto& ports = range.majorRevision >= 3 ? layout.usb3 : layout.usb2;
        for (quint32 port = range.firstPort; port > 0 && port < range.firstPort + range.portCount; ++port)
            ports.push_back(port);
    }
    if (layout.usb2.empty() && layout.usb3.empty())
        return std::nullopt;
    std::sort(layout.usb2.begin(), layout.usb2.end());
    std::sort(layout.usb3.begin(), layout.usb3.end());
    return layout;
}

bool isSuperSpeedHub(const SysfsReader& reader, const QString& hubDir)
{
    const auto speed = reader.decimalNumber(hubDir + QStringLiteral("/speed"));
    if (speed)
        return *speed >= 5000;
    return reader.text(hubDir + QStringLiteral("/version")).section(QLatin1Char('.'), 0, 0).toInt() >= 3;
}

// The ports of one hub: the "<hub>-portN" folders of its interface folder, by number.
std::vector<std::pair<int, QString>> hubPorts(const SysfsReader& reader, const QString& hubDir)
{
    static const QRegularExpression interfaceName(QStringLiteral("^\\d+-[\\d.]+:\\d+\\.\\d+$"));
    static const QRegularExpression portName(QStringLiteral("-port(\\d+)$"));
    std::vector<std::pair<int, QString>> ports;
    for (const QString& interface : reader.subdirectories(hubDir)) {
        if (!interfaceName.match(interface).hasMatch())
            continue;
        const QString interfaceDir = hubDir + QLatin1Char('/') + interface;
        for (const QString& port : reader.subdirectories(interfaceDir)) {
            const auto match = portName.match(port);
            const int index = match.hasMatch() ? match.captured(1).toInt() : 0;
            if (index > 0 && index <= kMaxPortsPerHub)
                ports.emplace_back(index, interfaceDir + QLatin1Char('/') + port);
        }
        if (!ports.empty())
            break;
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

// The folder of the device on port index of a hub: "3-2" on port 2 of usb3, "3-2.1" on port 1
// of hub 3-2.
QString attachedDevice(const SysfsReader& reader, const QString& hubDir, int index)
{
    const QString hub = folderName(hubDir);
    QString name;
    if (hub.startsWith(QLatin1String("usb")))
        name = hub.mid(3) + QLatin1Char('-') + QString::number(index);
    else
        name = hub + QLatin1Char('.') + QString::number(index);
    const QString dir = hubDir + QLatin1Char('/') + name;
    return reader.isDirectory(dir) ? dir : QString();
}

// The connector type the firmware's _UPC would give, from what the kernel tells of the port;
// none when it tells nothing that decides it.
std::optional<qint64> connectorFor(const SysfsReader& reader, const RootPort& port, bool controllerHasUSB3)
{
    if (port.connectType == QLatin1String("hardwired"))
        return kConnectorInternal;
    // The USB 2 and the USB 3 port of one physical connector are peers.
    const bool hasPeer = !reader.linkTarget(port.dir + QStringLiteral("/peer")).isEmpty();
    // The kernel links a port to its Type-C connector when the firmware describes one.
    if (!reader.linkTarget(port.dir + QStringLiteral("/connector")).isEmpty())
        return port.superSpeed || hasPeer ? kConnectorTypeCWithSwitch : kConnectorTypeCUSB2Only;
    // The hub's "device removable" bit: a device that cannot be unplugged sits on an internal port.
    if (!port.deviceDir.isEmpty() && reader.text(port.deviceDir + QStringLiteral("/removable")) == QLatin1String("fixed"))
        return kConnectorInternal;
    if (hasPeer || port.superSpeed)
        return kConnectorUSB3StandardA;
    if (controllerHasUSB3)
        return kConnectorUSB2StandardA;
    return std::nullopt;
}

QVariantMap deviceProperties(const SysfsReader& reader, const QString& dir, const QString& name, quint32 locationId)
{
    QVariantMap properties;
    properties.insert(QStringLiteral("IOName"), name);
    const QString product = singleLine(reader.text(dir + QStringLiteral("/product")));
    if (!product.isEmpty())
        properties.insert(QStringLiteral("USB Product Name"), product);
    const QString vendor = singleLine(reader.text(dir + QStringLiteral("/manufacturer")));
    if (!vendor.isEmpty())
        properties.insert(QStringLiteral("USB Vendor Name"), vendor);
    const auto putHex = [&](const char* key, const char* file) {
        if (const auto value = reader.hexNumber(dir + QLatin1Char('/') + QLatin1String(file)))
            properties.insert(QString::fromLatin1(key), *value);
    };
    putHex("idVendor", "idVendor");
    putHex("idProduct", "idProduct");
    putHex("bcdDevice", "bcdDevice");
    putHex("bDeviceClass", "bDeviceClass");
    putHex("bDeviceSubClass", "bDeviceSubClass");
    putHex("bDeviceProtocol", "bDeviceProtocol");
    properties.insert(QStringLiteral("locationID"), static_cast<qint64>(locationId));
    return properties;
}

QString deviceName(const SysfsReader& reader, const QString& dir)
{
    const QString product = singleLine(reader.text(dir + QStringLiteral("/product")));
    if (!product.isEmpty())
        return product;
    const auto vendor = reader.hexNumber(dir + QStringLiteral("/idVendor"));
    const auto device = reader.hexNumber(dir + QStringLiteral("/idProduct"));
    return QStringLiteral("USB device %1:%2")
        .arg(vendor.value_or(0), 4, 16, QLatin1Char('0'))
        .arg(device.value_or(0), 4, 16, QLatin1Char('0'));
}

// The attached device of a port and, for hubs, everything behind it, depth first with an
// explicit stack. Each tier adds one hex digit to the location ID, as on a Mac.
void addAttachedDevices(ScanContext& context, TreeRegistryNode& portNode, const QString& deviceDir, quint32 portLocation)
{
    const SysfsReader& reader = context.reader;
    struct Pending {
        TreeRegistryNode* parent;
        QString dir;
        quint32 location;
        int tier;
    };
    std::vector<Pending> pending{{&portNode, deviceDir, portLocation, 1}};
    int devices = 0;
    while (!pending.empty()) {
        const Pending item = pending.back();
        pending.pop_back();
        if (++devices > kMaxDevicesPerController || !context.takeEntry())
            return;
        const QString name = deviceName(reader, item.dir);
        auto node = item.parent->addChild(kIOServicePlane, name, QStringLiteral("IOUSBHostDevice"),
                                          deviceProperties(reader, item.dir, name, item.location),
                                          QStringLiteral("%1").arg(item.location, 8, 16, QLatin1Char('0')));
        if (item.tier >= kMaxHubTiers)
            continue;
        const auto ports = hubPorts(reader, item.dir);
        const int shift = 20 - 4 * item.tier;
        for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
            const QString child = attachedDevice(reader, item.dir, it->first);
            if (child.isEmpty())
                continue;
            const quint32 digit = static_cast<quint32>(std::min(it->first, 15));
            const quint32 location = shift >= 0 ? item.location | (digit << shift) : item.location;
            pending.push_back({node.get(), child, location, item.tier + 1});
        }
    }
}

// The top byte of this controller's USB location IDs: its PCI device number, as a Mac takes
// it, or the next one free when another controller has it already.
quint32 controllerBus(ScanContext& context, const QString& pciDir)
{
    int bus = folderName(pciDir).section(QLatin1Char(':'), -1).section(QLatin1Char('.'), 0, 0).toInt(nullptr, 16) & 0xff;
    for (int tries = 0; tries < 256 && context.usedControllerBuses.count(bus); ++tries)
        bus = (bus + 1) & 0xff;
    context.usedControllerBuses.insert(bus);
    return static_cast<quint32>(bus);
}

} // namespace

void addXhciController(ScanContext& context, TreeRegistryNode& pciNode, const QString& pciDir, const QString& driverName)
{
    const SysfsReader& reader = context.reader;
    if (!context.takeEntry())
        return;

    // The root hubs (usb1, usb2...) and their ports.
    static const QRegularExpression rootHubName(QStringLiteral("^usb(\\d+)$"));
    std::vector<RootPort> ports;
    for (const QString& hub : reader.subdirectories(pciDir)) {
        if (!rootHubName.match(hub).hasMatch())
            continue;
        const QString hubDir = pciDir + QLatin1Char('/') + hub;
        const bool superSpeed = isSuperSpeedHub(reader, hubDir);
        for (const auto& [index, dir] : hubPorts(reader, hubDir)) {
            RootPort port;
            port.dir = dir;
            port.index = index;
            port.superSpeed = superSpeed;
            port.deviceDir = attachedDevice(reader, hubDir, index);
            port.firmware = context.firmwareNode(dir);
            ports.push_back(port);
        }
    }

    // Port numbers: the controller's own layout; else the firmware's _ADR; else a guess, USB 2
    // ports first and the USB 3 ports after them, and the port node says it is a guess.
    const auto layout = controllerPortLayout(context, pciDir);
    quint32 usb2Count = 0;
    bool controllerHasUSB3 = false;
    for (const RootPort& port : ports) {
        usb2Count = port.superSpeed ? usb2Count : std::max(usb2Count, static_cast<quint32>(port.index));
        controllerHasUSB3 = controllerHasUSB3 || port.superSpeed;
    }
    for (RootPort& port : ports) {
        if (layout) {
            const auto& raw = port.superSpeed ? layout->usb3 : layout->usb2;
            const size_t position = static_cast<size_t>(port.index) - 1;
            port.number = position < raw.size() ? raw[position] : 0;
        }
        if (port.number == 0 && port.firmware && port.firmware->address && *port.firmware->address > 0
            && *port.firmware->address <= 0xffffffff)
            port.number = static_cast<quint32>(*port.firmware->address);
        if (port.number == 0) {
            port.number = port.superSpeed ? usb2Count + static_cast<quint32>(port.index) : static_cast<quint32>(port.index);
            port.numberInferred = true;
        }
        port.connectType = singleLine(reader.text(port.dir + QStringLiteral("/connect_type")));
        port.connector = connectorFor(reader, port, controllerHasUSB3);
    }

    // Names: the firmware's, where the scanner takes it as a port name and no other port of the
    // controller has it; else HSnn/SSnn, so that no port of the controller is lost.
    QSet<QString> names;
    for (RootPort& port : ports) {
        const QString firmwareName =
            port.firmware && port.firmware->name != QLatin1String("\\") ? port.firmware->name.toUpper() : QString();
        if (usbscan::isPortName(firmwareName) && !names.contains(firmwareName)) {
            port.name = firmwareName;
            names.insert(firmwareName);
        } else {
            port.firmwareName = firmwareName;
        }
    }
    for (RootPort& port : ports) {
        if (!port.name.isEmpty())
            continue;
        const QString prefix = port.superSpeed ? QStringLiteral("SS") : QStringLiteral("HS");
        int index = port.index;
        do
            port.name = prefix + QStringLiteral("%1").arg(index++, 2, 10, QLatin1Char('0'));
        while (names.contains(port.name));
        names.insert(port.name);
    }
    std::stable_sort(ports.begin(), ports.end(), [](const RootPort& a, const RootPort& b) {
        return std::pair(a.number, a.name) < std::pair(b.number, b.name);
    });

    // The driver node: the Linux driver's own class name, found by the xHCI detection through the
    // "USBXHCI" in its kernel bundle identifier rather than by a Mac class name, so that the
    // port-map kext takes its driver class from the vendor rules.
    const quint32 bus = controllerBus(context, pciDir);
    const quint32 controllerLocation = bus << 24;
    const QString name = pciNode.name;
    QVariantMap properties;
    properties.insert(QStringLiteral("IOClass"), driverName);
    properties.insert(QStringLiteral("IOProviderClass"), QStringLiteral("IOPCIDevice"));
    properties.insert(QStringLiteral("CFBundleIdentifierKernel"), QStringLiteral("org.kernel.driver.%1.USBXHCI").arg(driverName));
    properties.insert(QStringLiteral("name"), nulTerminated(name));
    properties.insert(QStringLiteral("locationID"), static_cast<qint64>(controllerLocation));
    auto driver = pciNode.addChild(kIOServicePlane, name, driverName, std::move(properties),
                                   QStringLiteral("%1").arg(controllerLocation, 8, 16, QLatin1Char('0')));

    quint32 order = 0;
    for (const RootPort& port : ports) {
        if (!context.takeEntry())
            return;
        ++order;
        const quint32 location = controllerLocation | (std::min<quint32>(order, 15) << 20);
        QVariantMap portProperties;
        portProperties.insert(QStringLiteral("name"), port.name);
        portProperties.insert(QStringLiteral("port"), littleEndianBytes(port.number));
        if (port.connector)
            portProperties.insert(QStringLiteral("UsbConnector"), *port.connector);
        else
            portProperties.insert(usbscan::kConnectorSourceKey, usbscan::kInferred);
        portProperties.insert(QStringLiteral("locationID"), static_cast<qint64>(location));
        if (port.numberInferred)
            portProperties.insert(usbscan::kPortNumberSourceKey, usbscan::kInferred);
        if (!port.firmwareName.isEmpty())
            portProperties.insert(usbscan::kFirmwarePortNameKey, port.firmwareName);
        if (!port.connectType.isEmpty())
            portProperties.insert(usbscan::kConnectTypeKey, port.connectType);
        if (port.firmware && !port.firmware->planePath.isEmpty())
            portProperties.insert(QStringLiteral("acpi-path"), port.firmware->planePath);
        const bool typeC = port.connector == kConnectorTypeCUSB2Only || port.connector == kConnectorTypeCWithSwitch;
        const QString className = QStringLiteral("LinuxUSB%1XHCI%2Port")
                                      .arg(port.superSpeed ? QStringLiteral("30") : QStringLiteral("20"),
                                           typeC ? QStringLiteral("TypeC") : QString());
        auto portNode = driver->addChild(kIOServicePlane, port.name, className, std::move(portProperties),
                                         QStringLiteral("%1").arg(location, 8, 16, QLatin1Char('0')));
        if (!port.deviceDir.isEmpty())
            addAttachedDevices(context, *portNode, port.deviceDir, location);
    }
}

} // namespace velkor::sysfs
