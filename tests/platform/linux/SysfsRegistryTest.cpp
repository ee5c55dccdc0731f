#include "platform/linux/LinuxMachineIdentifiers.h"
#include "platform/linux/SysfsRegistry.h"
#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace velkor;
using namespace velkor::testing;

const QString kSa0 = "/sys/devices/pci0000:00/0000:00:14.0";
const QString kNec = "/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0";

// Replaces a file or link of the capture (its files are read-only).
static void replace(const QString& path, const QByteArray& content, bool link = false)
{
    QFile::remove(path);
    link ? void(QFile::link(content, path)) : writeFile(path, content);
}

static const TreeRegistryNode& child(const TreeRegistryNode& parent, const QString& name)
{
    return *findNode(parent, kIOServicePlane, [&](const TreeRegistryNode& node) { return node.name == name && &node != &parent; });
}

// An invalid expected value stands for a property that must be missing.
static void expectProperties(const QVariantMap& properties, const QVariantMap& expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_EQ(properties.value(it.key()), it.value()) << it.key().toStdString() << ": " << properties.value(it.key()).toString().toStdString();
}

// "NAME=port/connector" for each port of the controller's driver, with the attached device's name.
static QStringList portSummary(const TreeRegistry& registry, const QString& pci, const QString& location)
{
    QStringList summary;
    const TreeRegistryNode* controller = findNode(*registry.root(), kIOServicePlane, [&](const TreeRegistryNode& node) {
        return node.name == pci && node.location == location && node.className == "IOPCIDevice" && !node.serviceChildren.empty();
    });
    for (const auto& port : controller->serviceChildren.at(0)->serviceChildren)
        summary << QString("%1=%2/%3").arg(port->name).arg(littleEndianValue(port->properties.value("port").toByteArray()))
                           .arg(port->properties.value("UsbConnector").toLongLong())
                       + (port->serviceChildren.empty() ? "" : ":" + port->serviceChildren.front()->name);
    return summary;
}

static qsizetype pciNodes(const TreeRegistry& registry)
{
    const auto nodes = allNodes(*registry.root(), kIOServicePlane);
    return std::count_if(nodes.begin(), nodes.end(), [](const TreeRegistryNode* node) { return node->className == "IOPCIDevice"; });
}


TEST(SysfsRegistry, NodesAndPropertiesAsSysfsAndTheFirmwareDescribeThem)
{
    QTemporaryDir dir;
    const QString root = extractSysfsCapture(dir.path()); // an emulated machine with QEMU's and an NEC XHCI controller
    // Type-C connectors and a fixed device, as the kernel tells them.
    const QString ports = root + kNec + "/usb3/3-0:1.0/";
    replace(ports + "usb3-port3/connector", "../../../../../../../virtual/typec/port0", true);
    replace(ports + "usb3-port4/connector", "../../../../../../../virtual/typec/port1", true);
    QFile::remove(ports + "usb3-port4/peer");
    replace(root + kNec + "/usb3/3-1/removable", "fixed\n");
    const auto registry = buildSysfsRegistry(root);
    const TreeRegistryNode& platform = *registry->root()->serviceChildren.at(0);
    EXPECT_EQ(platform.className + " " + platform.name, "IOPlatformExpertDevice Standard PC (Q35 + ICH9, 2009)");
    expectProperties(platform.properties, {{"model", QByteArray("Standard PC (Q35 + ICH9, 2009)\0", 31)}, {"manufacturer", QByteArray("QEMU\0", 5)},
                                           {"IOPlatformSerialNumber", {}}}); // the capture's serial number file is empty
    const QVariantMap tables = platform.properties.value("ACPI Tables").toMap();
    EXPECT_EQ(tables.keys(), (QStringList{"APIC", "DSDT", "FACP", "FACS", "HPET", "MCFG", "SSDT", "WAET"}));
    for (auto it = tables.cbegin(); it != tables.cend(); ++it)
        EXPECT_EQ(it.value().toByteArray(), readFile(root + "/sys/firmware/acpi/tables/" + it.key())) << it.key().toStdString();

    const TreeRegistryNode& host = child(platform, "PCI0");
    QStringList functions;
    for (const auto& node : host.serviceChildren)
        functions.append(node->name + '@' + node->location);
    EXPECT_EQ(functions, (QStringList{"S00@0", "S08@1", "S28@5", "SA0@14", "SE0@1C", "SF8@1F", "pci8086,2922@1F,2", "SFB@1F,3"}));
    EXPECT_EQ(pciNodes(*registry), 9);
    expectProperties(child(host, "SA0").properties,
                     {{"vendor-id", littleEndianBytes(0x1b36)}, {"device-id", littleEndianBytes(0x000d)},
                      {"subsystem-id", littleEndianBytes(0x1100)}, {"revision-id", littleEndianBytes(0x01)},
                      {"class-code", littleEndianBytes(0x0c0330)}, {"IOName", "pci1b36,d"}, {"name", QByteArray("pci1b36,d\0", 10)},
                      {"compatible", QByteArray("pci1af4,1100\0pci1b36,d\0pciclass,0c0330\0SA0\0", 43)},
                      {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/SA0@140000"}});
    // The NEC controller sits behind the root port 00:1c.0, as in sysfs.
    expectProperties(child(child(host, "SE0"), "S00").properties,
                     {{"vendor-id", littleEndianBytes(0x1033)}, {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/SE0@1c0000/S00@0"}});

    const TreeRegistryNode& qemu = *child(host, "SA0").serviceChildren.at(0);
    EXPECT_EQ(qemu.className + " " + child(qemu, "HS07").className + " " + child(qemu, "SS01").className,
              "xhci_hcd LinuxUSB20XHCIPort LinuxUSB30XHCIPort");
    const TreeRegistryNode& hub = child(child(host, "SE0"), "QEMU USB Hub");
    ASSERT_EQ(hub.serviceChildren.size(), 2u);
    expectProperties(hub.serviceChildren[1]->properties, {{"locationID", qint64(0x00230000)}, {"IOName", "QEMU USB SERIAL"}});
    EXPECT_NE(findNamed(*registry->root(), kIOServicePlane, "HS03", {}, "LinuxUSB20XHCITypeCPort"), nullptr);
    // Port ranges handed over by root stand in for a debugfs the user cannot read.
    EXPECT_EQ(portSummary(*buildSysfsRegistry(root, {{"0000:01:00.0", {{3, 0, 1, 4}, {2, 0, 5, 4}}}}), "S00", "0"),
              (QStringList{"SS01=1/3", "SS02=2/3", "SS03=3/3", "SS04=4/3", "HS01=5/255:QEMU USB Mouse", "HS02=6/3:QEMU USB Hub",
                           "HS03=7/9", "HS04=8/8"}));
    for (const TreeRegistryNode* node : allNodes(*registry->root(), kIOServicePlane))
        EXPECT_FALSE(node->properties.contains("USB Serial Number")) << node->name.toStdString();

    // The device-tree plane is the ACPI namespace below the same platform node.
    EXPECT_EQ(registry->root()->deviceTreeChildren.at(0).get(), &platform);
    EXPECT_EQ(allNodes(platform, kIODeviceTreePlane).size(), 57u);
    expectProperties(findNamed(platform, kIODeviceTreePlane, "HS07", "d")->properties,
                     {{"_ADR", qint64(13)}, {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/SA0@140000/RHUB@0/HS07@d"}});

}

// A folder for a file, a FIFO, garbage, invalid UTF-8 and a line break, links out and dangling, missing folders.
TEST(SysfsRegistry, DamagedOrMissingFilesAreLeftOut)
{
    QTemporaryDir dir;
    const QString root = extractSysfsCapture(dir.path());
    QFile::remove(root + kSa0 + "/vendor");
    QDir().mkpath(root + kSa0 + "/vendor");
    QFile::remove(root + kSa0 + "/device");
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + kSa0 + "/device").constData(), 0644), 0);
    replace(root + kSa0 + "/revision", "zz\n");
    replace(root + kSa0 + "/usb1/1-1/product", "Key\xff\xfe\nboard <class X>\n");
    replace(root + kSa0 + "/firmware_node", "../../../../../../../../../../../../etc", true);
    replace(root + kNec + "/firmware_node", "../nowhere", true);
    for (const char* folder : {"/sys/class/dmi", "/sys/firmware", "/sys/bus/acpi"})
        QDir(root + folder).removeRecursively();

    const auto registry = buildSysfsRegistry(root);
    const TreeRegistryNode& platform = *registry->root()->serviceChildren.front();
    EXPECT_EQ(platform.name, "Linux");
    EXPECT_TRUE(platform.properties.isEmpty() && platform.deviceTreeChildren.empty());
    const TreeRegistryNode* qemu = findNamed(*registry->root(), kIOServicePlane, "0000:00:14.0", "14");
    ASSERT_NE(qemu, nullptr); // no IDs and no firmware node left to name it
    expectProperties(qemu->properties, {{"vendor-id", {}}, {"device-id", {}}, {"revision-id", {}}, {"acpi-path", {}},
                                        {"class-code", littleEndianBytes(0x0c0330)}});
    const QStringList ports = portSummary(*registry, "0000:00:14.0", "14"); // no ACPI namespace: HSnn/SSnn, USB 2 first
    EXPECT_EQ(ports.first() + " " + ports.last(), "HS01=1/3:Key\uFFFD\uFFFD board <class X> SS06=14/3");
}

TEST(SysfsRegistry, EachRootEntryShowsTheMachineAsItIsThenAndThisMachineAsSysfsHasIt)
{
    QTemporaryDir dir;
    EXPECT_EQ(allNodes(*buildSysfsRegistry(dir.filePath("no such root"))->root(), kIOServicePlane).size(), 2u);
    for (const auto& [name, value] : {std::pair{"product_name", "First\n"}, {"product_serial", "SER-123\n"},
                                      {"product_uuid", "0b6a3f20-1111-2222-3333-444455556666\n"}, {"board_name", "Board X\n"}})
        writeFile(dir.filePath("sys/class/dmi/id/") + name, value);
    const SysfsRegistry live(dir.path());
    const auto first = live.rootEntry()->childIterator(kIOServicePlane)->next();
    expectProperties(first->properties(), {{"IOPlatformSerialNumber", "SER-123"}, {"IOPlatformUUID", "0b6a3f20-1111-2222-3333-444455556666"},
                                           {"board-id", QByteArray("Board X\0", 8)}});
    replace(dir.filePath("sys/class/dmi/id/product_name"), "Second\n");
    EXPECT_EQ(live.rootEntry()->childIterator(kIOServicePlane)->next()->name(kIOServicePlane), "Second");
    EXPECT_EQ(first->name(kIOServicePlane), "First"); // a held entry stays valid

    EXPECT_EQ(pciNodes(*buildSysfsRegistry()), QDir("/sys/bus/pci/devices").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

TEST(LinuxMachineIdentifiers, AreReadThroughTheClassLinksAndNeverFromAPipe)
{
    QTemporaryDir root;
    writeFile(root.filePath("sys/class/dmi/id/product_uuid"), "4C4C4544-0042-3510-8052-B4C04F4D3732\n");
    ASSERT_EQ(::mkfifo(QFile::encodeName(root.filePath("sys/class/dmi/id/product_serial")).constData(), 0600), 0);
    writeFile(root.filePath("sys/devices/pci0/net/eth0/address"), "00:1a:2b:3c:4d:5e\n");
    QDir().mkpath(root.filePath("sys/class/net"));
    QFile::link("../../devices/pci0/net/eth0", root.filePath("sys/class/net/eth0"));
    writeFile(root.filePath("proc/sys/kernel/hostname"), "velkor-host\n");
    QStringList found;
    for (const MachineIdentifier& identifier : LinuxMachineIdentifierSource(root.path()).identifiers())
        found << identifierKindName(identifier.kind) + " " + identifier.value;
    EXPECT_EQ(found, QStringList({identifierKindName(IdentifierKind::UUID) + " 4C4C4544-0042-3510-8052-B4C04F4D3732",
                                  identifierKindName(IdentifierKind::MACAddress) + " 00:1a:2b:3c:4d:5e",
                                  identifierKindName(IdentifierKind::HostName) + " velkor-host"}));
}
