#include "platform/linux/SysfsBuilders.h"

#include <QHash>
#include <algorithm>
#include <utility>
#include <vector>

namespace velkor::sysfs {
namespace {

// The ACPI namespace is a few hundred devices deep and wide; these bound a broken tree.
constexpr int kMaxAcpiDevices = 20000;
constexpr int kMaxAcpiDepth = 64;

QString parentFolder(const QString& dir)
{
    const qsizetype slash = dir.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QString() : dir.left(slash);
}

// "acpi:PNP0A08:PNP0A03:" lists the hardware ID and the compatible IDs.
QStringList acpiIds(const ScanContext& context, const QString& dir)
{
    QString modalias = context.reader.text(dir + QStringLiteral("/modalias"));
    QStringList ids;
    if (modalias.startsWith(QLatin1String("acpi:"))) {
        for (const QString& id : modalias.mid(5).split(QLatin1Char(':'), Qt::SkipEmptyParts))
            ids.append(singleLine(id));
    }
    if (ids.isEmpty()) {
        const QString hid = singleLine(context.reader.text(dir + QStringLiteral("/hid")));
        if (!hid.isEmpty())
            ids.append(hid);
    }
    return ids;
}

} // namespace

const AcpiDevice* ScanContext::firmwareNode(const QString& dir) const
{
    const QString target = reader.linkTarget(dir + QStringLiteral("/firmware_node"));
    if (target.isEmpty())
        return nullptr;
    const auto it = acpiByDir.constFind(target);
    return it == acpiByDir.cend() ? nullptr : &it.value();
}

QString acpiShortName(const QString& segment)
{
    QString name = segment;
    while (name.startsWith(QLatin1Char('\\')) || name.startsWith(QLatin1Char('^')))
        name.remove(0, 1);
    while (name.size() > 1 && name.endsWith(QLatin1Char('_')))
        name.chop(1);
    return name;
}

void indexAcpiNamespace(ScanContext& context)
{
    const SysfsReader& reader = context.reader;
    const QString devices = reader.path(QStringLiteral("/sys/bus/acpi/devices"));
    int count = 0;
    for (const QString& link : reader.links(devices)) {
        if (++count > kMaxAcpiDevices)
            break;
        const QString dir = reader.linkTarget(devices + QLatin1Char('/') + link);
        if (dir.isEmpty() || !reader.isDirectory(dir))
            continue;
        AcpiDevice device;
        device.dir = dir;
        device.namespacePath = singleLine(reader.text(dir + QStringLiteral("/path")));
        const QString last = device.namespacePath.section(QLatin1Char('.'), -1);
        device.name = device.namespacePath.isEmpty() ? link : acpiShortName(last);
        if (device.name.isEmpty())
            device.name = device.namespacePath; // the namespace root, "\"
        device.address = reader.hexNumber(dir + QStringLiteral("/adr"));
        context.acpiByDir.insert(dir, device);
    }

    // The nesting of the folders is the nesting of the namespace.
    const QString floor = reader.path(QStringLiteral("/sys"));
    for (auto it = context.acpiByDir.begin(); it != context.acpiByDir.end(); ++it) {
        QString up = parentFolder(it->dir);
        for (int depth = 0; depth < kMaxAcpiDepth && up.size() > floor.size(); ++depth) {
            if (context.acpiByDir.contains(up)) {
                it->parentDir = up;
                break;
            }
            up = parentFolder(up);
        }
    }

    // "IOACPIPlane:/_SB/PCI0@0/SA0@140000": each name with its address, from the top down.
    for (auto it = context.acpiByDir.begin(); it != context.acpiByDir.end(); ++it) {
        if (it->namespacePath.isEmpty())
            continue;
        QStringList segments;
        const AcpiDevice* device = &it.value();
        for (int depth = 0; device && depth < kMaxAcpiDepth; ++depth) {
            if (device->namespacePath != QLatin1String("\\")) {
                QString segment = device->name;
                if (device->address)
                    segment += QLatin1Char('@') + QString::number(*device->address, 16);
                segments.prepend(segment);
            }
            const auto parent = context.acpiByDir.constFind(device->parentDir);
            device = device->parentDir.isEmpty() || parent == context.acpiByDir.cend() ? nullptr : &parent.value();
        }
        it->planePath = QStringLiteral("IOACPIPlane:/") + segments.join(QLatin1Char('/'));
    }
}

void addAcpiDeviceTree(ScanContext& context, TreeRegistryNode& platform)
{
    QHash<QString, std::vector<const AcpiDevice*>> childrenOf;
    for (const AcpiDevice& device : std::as_const(context.acpiByDir))
        childrenOf[device.parentDir].push_back(&device);
    for (auto& children : childrenOf) {
        std::sort(children.begin(), children.end(), [](const AcpiDevice* a, const AcpiDevice* b) {
            return std::pair(a->namespacePath, a->dir) < std::pair(b->namespacePath, b->dir);
        });
    }

    // Depth first with an explicit stack. The namespace root "\" gets no entry of its own: its
    // children hang below the platform node, as a Mac's device tree has them.
    std::vector<std::pair<TreeRegistryNode*, const AcpiDevice*>> pending;
    const auto pushChildren = [&](TreeRegistryNode* parent, const QString& dir) {
        const auto children = childrenOf.constFind(dir);
        if (children == childrenOf.cend())
            return;
        for (auto it = children->rbegin(); it != children->rend(); ++it)
            pending.emplace_back(parent, *it);
    };
    pushChildren(&platform, QString());
    while (!pending.empty()) {
        const auto [parent, device] = pending.back();
        pending.pop_back();
        if (device->namespacePath == QLatin1String("\\")) {
            pushChildren(parent, device->dir);
            continue;
        }
        if (!context.takeEntry())
            return;

        QVariantMap properties;
        properties.insert(QStringLiteral("name"), nulTerminated(device->name));
        const QStringList ids = acpiIds(context, device->dir);
        if (!ids.isEmpty())
            properties.insert(QStringLiteral("compatible"), nulTerminated(ids.join(QChar())));
        if (!device->planePath.isEmpty())
            properties.insert(QStringLiteral("acpi-path"), device->planePath);
        if (device->address)
            properties.insert(QStringLiteral("_ADR"), *device->address);
        const QString uid = singleLine(context.reader.text(device->dir + QStringLiteral("/uid")));
        if (!uid.isEmpty())
            properties.insert(QStringLiteral("_UID"), uid);
        if (const auto status = context.reader.decimalNumber(device->dir + QStringLiteral("/status")))
            properties.insert(QStringLiteral("_STA"), *status);

        const QString location = device->address ? QString::number(*device->address, 16) : QString();
        auto node = parent->addChild(kIODeviceTreePlane, device->name, QStringLiteral("IOACPIPlatformDevice"),
                                     std::move(properties), location);
        pushChildren(node.get(), device->dir);
    }
}

} // namespace velkor::sysfs
