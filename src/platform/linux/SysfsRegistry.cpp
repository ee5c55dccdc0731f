#include "platform/linux/SysfsRegistry.h"

#include "platform/linux/SysfsBuilders.h"

#include <QHash>
#include <algorithm>
#include <tuple>
#include <vector>

namespace velkor {
namespace sysfs {

QByteArray nulTerminated(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    bytes.append('\0');
    return bytes;
}

namespace {

constexpr qsizetype kMaxTableBytes = 16 * 1024 * 1024;
constexpr qsizetype kMaxAllTablesBytes = 64 * 1024 * 1024;

// The firmware tables keyed the way a Mac keys them: the first table of a signature by the
// signature ("SSDT"), the next ones with a count ("SSDT-1", "SSDT-2"...). The kernel names
// repeated tables SSDT1, SSDT2... and puts the ones loaded later into dynamic/.
QVariantMap acpiTables(const SysfsReader& reader)
{
    struct Table {
        int group;
        QString signature;
        int instance;
        QString file;
    };
    std::vector<Table> tables;
    const QString base = reader.path(QStringLiteral("/sys/firmware/acpi/tables"));
    const QString folders[] = {base, base + QStringLiteral("/dynamic")};
    for (int group = 0; group < 2; ++group) {
        for (const QString& file : reader.files(folders[group])) {
            if (file.size() < 4)
                continue;
            bool numbered = false;
            const int instance = file.size() == 4 ? 0 : file.mid(4).toInt(&numbered);
            if (file.size() > 4 && !numbered)
                continue;
            tables.push_back({group, file.left(4), instance, folders[group] + QLatin1Char('/') + file});
        }
    }
    std::sort(tables.begin(), tables.end(), [](const Table& a, const Table& b) {
        return std::tie(a.group, a.signature, a.instance) < std::tie(b.group, b.signature, b.instance);
    });

    QVariantMap result;
    QHash<QString, int> seen;
    qsizetype total = 0;
    for (const Table& table : tables) {
        const auto bytes = reader.bytes(table.file, kMaxTableBytes);
        if (!bytes || bytes->isEmpty() || total + bytes->size() > kMaxAllTablesBytes)
            continue;
        total += bytes->size();
        const int count = seen.value(table.signature, 0);
        seen.insert(table.signature, count + 1);
        const QString key = count == 0 ? table.signature : QStringLiteral("%1-%2").arg(table.signature).arg(count);
        result.insert(key, *bytes);
    }
    return result;
}

std::shared_ptr<TreeRegistryNode> platformNode(const SysfsReader& reader)
{
    const QString dmi = reader.path(QStringLiteral("/sys/class/dmi/id/"));
    const QString product = singleLine(reader.text(dmi + QStringLiteral("product_name")));
    const QString serial = singleLine(reader.text(dmi + QStringLiteral("product_serial")));
    const QString uuid = singleLine(reader.text(dmi + QStringLiteral("product_uuid")));
    const QString board = singleLine(reader.text(dmi + QStringLiteral("board_name")));
    const QString vendor = singleLine(reader.text(dmi + QStringLiteral("sys_vendor")));

    QVariantMap properties;
    if (!product.isEmpty())
        properties.insert(QStringLiteral("model"), nulTerminated(product));
    if (!serial.isEmpty())
        properties.insert(QStringLiteral("IOPlatformSerialNumber"), serial);
    if (!uuid.isEmpty())
        properties.insert(QStringLiteral("IOPlatformUUID"), uuid);
    if (!board.isEmpty())
        properties.insert(QStringLiteral("board-id"), nulTerminated(board));
    if (!vendor.isEmpty())
        properties.insert(QStringLiteral("manufacturer"), nulTerminated(vendor));
    const QVariantMap tables = acpiTables(reader);
    if (!tables.isEmpty())
        properties.insert(QStringLiteral("ACPI Tables"), tables);

    auto node = std::make_shared<TreeRegistryNode>();
    node->name = product.isEmpty() ? QStringLiteral("Linux") : product;
    node->className = QStringLiteral("IOPlatformExpertDevice");
    node->properties = std::move(properties);
    return node;
}

} // namespace
} // namespace sysfs

std::shared_ptr<TreeRegistry> buildSysfsRegistry(const QString& root, const std::map<QString, std::vector<XhciPortRange>>& xhciPortRanges)
{
    sysfs::ScanContext context(root);
    context.xhciPortRanges = xhciPortRanges;

    auto registryRoot = std::make_shared<TreeRegistryNode>();
    registryRoot->name = QStringLiteral("Root");
    registryRoot->className = QStringLiteral("IORegistryEntry");
    registryRoot->properties.insert(QStringLiteral("IORegistryPlanes"),
                                    QVariantMap{{kIOServicePlane, kIOServicePlane}, {kIODeviceTreePlane, kIODeviceTreePlane}});

    // One platform node in both planes, as on a Mac.
    auto platform = sysfs::platformNode(context.reader);
    registryRoot->serviceChildren.push_back(platform);
    registryRoot->deviceTreeChildren.push_back(platform);
    context.entries = 2;

    sysfs::indexAcpiNamespace(context);
    sysfs::addPciTree(context, *platform);
    sysfs::addAcpiDeviceTree(context, *platform);
    return std::make_shared<TreeRegistry>(registryRoot);
}

std::unique_ptr<RegistryEntry> SysfsRegistry::rootEntry() const
{
    if (m_privileged)
        return buildSysfsRegistry(m_root, m_privileged->current()->xhciPortRanges)->rootEntry();
    return buildSysfsRegistry(m_root)->rootEntry();
}

} // namespace velkor
