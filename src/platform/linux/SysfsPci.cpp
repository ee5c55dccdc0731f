#include "platform/linux/SysfsBuilders.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>
#include <utility>
#include <vector>

namespace velkor::sysfs {
namespace {

constexpr int kMaxPciFunctions = 4096;
constexpr int kMaxPciDepth = 64;
constexpr qint64 kXhciClassCode = 0x0c0330;

struct PciAddress {
    int domain = 0;
    int bus = 0;
    int device = 0;
    int function = 0;
};

// "0000:00:14.0"
std::optional<PciAddress> parsePciAddress(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9a-f]{4,8}):([0-9a-f]{2}):([0-9a-f]{2})\\.([0-7])$"));
    const auto match = pattern.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    PciAddress address;
    address.domain = match.captured(1).toInt(nullptr, 16);
    address.bus = match.captured(2).toInt(nullptr, 16);
    address.device = match.captured(3).toInt(nullptr, 16);
    address.function = match.captured(4).toInt(nullptr, 16);
    return address;
}

QString folderName(const QString& dir)
{
    return dir.mid(dir.lastIndexOf(QLatin1Char('/')) + 1);
}

QString parentFolder(const QString& dir)
{
    const qsizetype slash = dir.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QString() : dir.left(slash);
}

// Open Firmware style IDs, as a Mac names PCI devices: "pci8086,a12f" (hex without padding).
QString openFirmwareId(std::optional<qint64> vendor, std::optional<qint64> device)
{
    if (!vendor || !device)
        return {};
    return QStringLiteral("pci%1,%2").arg(*vendor, 0, 16).arg(*device, 0, 16);
}

std::shared_ptr<TreeRegistryNode> addFunction(ScanContext& context, TreeRegistryNode& parent, const QString& dir,
                                              const PciAddress& address)
{
    const SysfsReader& reader = context.reader;
    const auto vendor = reader.hexNumber(dir + QStringLiteral("/vendor"));
    const auto device = reader.hexNumber(dir + QStringLiteral("/device"));
    const auto subsystemVendor = reader.hexNumber(dir + QStringLiteral("/subsystem_vendor"));
    const auto subsystemDevice = reader.hexNumber(dir + QStringLiteral("/subsystem_device"));
    const auto revision = reader.hexNumber(dir + QStringLiteral("/revision"));
    const auto classCode = reader.hexNumber(dir + QStringLiteral("/class"));
    const AcpiDevice* firmware = context.firmwareNode(dir);

    QVariantMap properties;
    const auto putId = [&properties](const char* key, std::optional<qint64> value) {
        if (value)
            properties.insert(QString::fromLatin1(key), littleEndianBytes(static_cast<quint32>(*value)));
    };
    putId("vendor-id", vendor);
    putId("device-id", device);
    putId("subsystem-vendor-id", subsystemVendor);
    putId("subsystem-id", subsystemDevice);
    putId("revision-id", revision);
    putId("class-code", classCode);

    const QString ofName = openFirmwareId(vendor, device);
    QStringList compatible;
    const QString subsystemName = subsystemVendor.value_or(0) > 0 ? openFirmwareId(subsystemVendor, subsystemDevice) : QString();
    if (!subsystemName.isEmpty())
        compatible.append(subsystemName);
    if (!ofName.isEmpty()) {
        properties.insert(QStringLiteral("IOName"), ofName);
        properties.insert(QStringLiteral("name"), nulTerminated(ofName));
        compatible.append(ofName);
    }
    if (classCode)
        compatible.append(QStringLiteral("pciclass,%1").arg(*classCode & 0xffffff, 6, 16, QLatin1Char('0')));
    if (firmware)
        compatible.append(firmware->name);
    if (!compatible.isEmpty()) {
        QByteArray bytes;
        for (const QString& entry : std::as_const(compatible))
            bytes += nulTerminated(entry);
        properties.insert(QStringLiteral("compatible"), bytes);
    }
    if (firmware && !firmware->planePath.isEmpty())
        properties.insert(QStringLiteral("acpi-path"), firmware->planePath);
    properties.insert(QStringLiteral("pcidebug"),
                      QStringLiteral("%1:%2:%3").arg(address.bus).arg(address.device).arg(address.function));

    // A Mac shows a PCI device by its ACPI name ("XHC1@14"), else by its IDs ("pci1b36,d@1F,2").
    QString name = firmware ? firmware->name : ofName;
    if (name.isEmpty())
        name = folderName(dir);
    const QString location = address.function == 0
        ? QString::number(address.device, 16).toUpper()
        : QStringLiteral("%1,%2").arg(address.device, 0, 16).arg(address.function, 0, 16).toUpper();
    auto node = parent.addChild(kIOServicePlane, name, QStringLiteral("IOPCIDevice"), std::move(properties), location);

    const QString driver = folderName(reader.linkTarget(dir + QStringLiteral("/driver")));
    if (classCode && (*classCode & 0xffffff) == kXhciClassCode && !driver.isEmpty())
        addXhciController(context, *node, dir, driver);
    return node;
}

std::shared_ptr<TreeRegistryNode> addHostBridge(ScanContext& context, TreeRegistryNode& platform, const QString& dir)
{
    const AcpiDevice* firmware = context.firmwareNode(dir);
    // "pci0000:00": domain 0000, bus 00.
    const QString folder = folderName(dir);
    const QString name = firmware ? firmware->name : folder;
    const QString location = firmware && firmware->address ? QString::number(*firmware->address, 16)
                                                           : QString::number(folder.section(QLatin1Char(':'), -1).toInt(nullptr, 16), 16);
    QVariantMap properties;
    properties.insert(QStringLiteral("name"), nulTerminated(name));
    if (firmware && !firmware->planePath.isEmpty())
        properties.insert(QStringLiteral("acpi-path"), firmware->planePath);
    return platform.addChild(kIOServicePlane, name, QStringLiteral("IOPCIBridge"), std::move(properties), location);
}

} // namespace

void addPciTree(ScanContext& context, TreeRegistryNode& platform)
{
    const SysfsReader& reader = context.reader;
    const QString devices = reader.path(QStringLiteral("/sys/bus/pci/devices"));

    struct Function {
        QString dir;
        PciAddress address;
    };
    QHash<QString, Function> functions;
    for (const QString& link : reader.links(devices)) {
        if (functions.size() >= kMaxPciFunctions)
            break;
        const auto address = parsePciAddress(link);
        const QString dir = reader.linkTarget(devices + QLatin1Char('/') + link);
        if (address && !dir.isEmpty() && reader.isDirectory(dir))
            functions.insert(dir, Function{dir, *address});
    }

    // Each function hangs below the nearest function folder above it (its bridge), or below the
    // host bridge folder ("pci0000:00") that holds it.
    static const QRegularExpression hostBridgeName(QStringLiteral("^pci[0-9a-f]{4,8}:[0-9a-f]{2}$"));
    QHash<QString, QStringList> childrenOf;
    QStringList hostBridges;
    const QString floor = reader.path(QStringLiteral("/sys"));
    for (const Function& function : std::as_const(functions)) {
        QString up = parentFolder(function.dir);
        QString owner;
        for (int depth = 0; depth < kMaxPciDepth && up.size() > floor.size(); ++depth) {
            if (functions.contains(up) || hostBridgeName.match(folderName(up)).hasMatch()) {
                owner = up;
                break;
            }
            up = parentFolder(up);
        }
        if (owner.isEmpty())
            owner = parentFolder(function.dir);
        if (!functions.contains(owner) && !hostBridges.contains(owner))
            hostBridges.append(owner);
        childrenOf[owner].append(function.dir);
    }
    std::sort(hostBridges.begin(), hostBridges.end());
    for (QStringList& children : childrenOf)
        std::sort(children.begin(), children.end(), [](const QString& a, const QString& b) { return folderName(a) < folderName(b); });

    std::vector<std::pair<TreeRegistryNode*, QString>> pending;
    std::vector<std::shared_ptr<TreeRegistryNode>> bridgeNodes;
    const auto pushChildren = [&](TreeRegistryNode* parent, const QString& dir) {
        const QStringList children = childrenOf.value(dir);
        for (auto it = children.crbegin(); it != children.crend(); ++it)
            pending.emplace_back(parent, *it);
    };
    for (const QString& bridge : std::as_const(hostBridges)) {
        if (!context.takeEntry())
            return;
        bridgeNodes.push_back(addHostBridge(context, platform, bridge));
        pushChildren(bridgeNodes.back().get(), bridge);
        while (!pending.empty()) {
            const auto [parent, dir] = pending.back();
            pending.pop_back();
            if (!context.takeEntry())
                return;
            auto node = addFunction(context, *parent, dir, functions.value(dir).address);
            pushChildren(node.get(), dir);
        }
    }
}

} // namespace velkor::sysfs
