#include "platform/linux/LinuxMachineIdentifiers.h"
#include "platform/linux/SysfsRegistry.h"
#include "process/ProcessRunner.h"
#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include "registry/RegistryProperties.h"
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QString kSa0 = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0");
const QString kNec = QStringLiteral("/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0");

// Replaces a file or link of the capture (its files are read-only).
void replaceFile(const QString& path, const QByteArray& content)
{
    QFile::remove(path);
    writeFile(path, content);
}

void replaceLink(const QString& path, const QString& target)
{
    QFile::remove(path);
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()), 0) << path.toStdString();
}

const TreeRegistryNode& child(const TreeRegistryNode& parent, const QString& name, const QString& plane = kIOServicePlane)
{
    for (const auto& node : *parent.childrenIn(plane)) {
        if (node->name == name)
            return *node;
    }
    throw std::runtime_error(("no child " + name + " below " + parent.name).toStdString());
}

void expectProperties(const TreeRegistryNode& node, const QVariantMap& expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_EQ(node.properties.value(it.key()), it.value()) << node.name.toStdString() << " " << it.key().toStdString();
}

const TreeRegistryNode& driverNode(const TreeRegistry& registry, const QString& pciName, const QString& pciLocation)
{
    const TreeRegistryNode* pci = findNode(*registry.root(), kIOServicePlane, [&](const TreeRegistryNode& node) {
        return node.name == pciName && node.location == pciLocation && node.className == QStringLiteral("IOPCIDevice")
            && !node.serviceChildren.empty();
    });
    if (!pci || pci->serviceChildren.size() != 1)
        throw std::runtime_error(("no driver below " + pciName).toStdString());
    return *pci->serviceChildren.front();
}

// "NAME=port/connector" for each port node of a driver, with the attached device's name.
QStringList portSummary(const TreeRegistryNode& driver)
{
    QStringList summary;
    for (const auto& port : driver.serviceChildren) {
        QString line = QStringLiteral("%1=%2/%3")
                           .arg(port->name)
                           .arg(littleEndianValue(port->properties.value(QStringLiteral("port")).toByteArray()))
                           .arg(port->properties.value(QStringLiteral("UsbConnector")).toLongLong());
        if (!port->serviceChildren.empty())
            line += QLatin1Char(':') + port->serviceChildren.front()->name;
        summary.append(line);
    }
    return summary;
}

int pciNodes(const TreeRegistry& registry)
{
    int count = 0;
    for (const TreeRegistryNode* node : allNodes(*registry.root(), kIOServicePlane))
        count += node->className == QStringLiteral("IOPCIDevice");
    return count;
}

// The capture of an emulated machine with two XHCI controllers, unpacked once; a test that
// changes it works on its own copy.
class SysfsRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { root = extractSysfsCapture(dir.path()); }
    QTemporaryDir dir;
    QString root;
};

} // namespace

TEST_F(SysfsRegistryTest, PlatformNodeAndPciFunctionsAsSysfsAndTheFirmwareDescribeThem)
{
    const auto registry = buildSysfsRegistry(root);
    const TreeRegistryNode& platform = *registry->root()->serviceChildren.at(0);
    EXPECT_EQ(platform.className, QStringLiteral("IOPlatformExpertDevice"));
    EXPECT_EQ(platform.name, QStringLiteral("Standard PC (Q35 + ICH9, 2009)"));
    expectProperties(platform, {{"model", QByteArray("Standard PC (Q35 + ICH9, 2009)\0", 31)}, {"manufacturer", QByteArray("QEMU\0", 5)}});
    // The capture's serial number file is empty: no property rather than an empty one.
    EXPECT_FALSE(platform.properties.contains(QStringLiteral("IOPlatformSerialNumber")));
    const QVariantMap tables = platform.properties.value(QStringLiteral("ACPI Tables")).toMap();
    EXPECT_EQ(tables.keys(), (QStringList{"APIC", "DSDT", "FACP", "FACS", "HPET", "MCFG", "SSDT", "WAET"}));
    for (auto it = tables.cbegin(); it != tables.cend(); ++it)
        EXPECT_EQ(it.value().toByteArray(), readFile(root + "/sys/firmware/acpi/tables/" + it.key())) << it.key().toStdString();

    const TreeRegistryNode& host = child(platform, QStringLiteral("PCI0"));
    QStringList functions;
    for (const auto& node : host.serviceChildren)
        functions.append(node->name + QLatin1Char('@') + node->location);
    EXPECT_EQ(functions, (QStringList{"S00@0", "S08@1", "S28@5", "SA0@14", "SE0@1C", "SF8@1F", "pci8086,2922@1F,2", "SFB@1F,3"}));
    expectProperties(child(host, QStringLiteral("SA0")),
                     {{"vendor-id", littleEndianBytes(0x1b36)}, {"device-id", littleEndianBytes(0x000d)}, {"subsystem-vendor-id", littleEndianBytes(0x1af4)},
                      {"subsystem-id", littleEndianBytes(0x1100)}, {"revision-id", littleEndianBytes(0x01)}, {"class-code", littleEndianBytes(0x0c0330)},
                      {"IOName", "pci1b36,d"}, {"name", QByteArray("pci1b36,d\0", 10)},
                      {"compatible", QByteArray("pci1af4,1100\0pci1b36,d\0pciclass,0c0330\0SA0\0", 43)},
                      {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/SA0@140000"}});
    // The NEC controller sits behind the root port 00:1c.0, as in sysfs.
    expectProperties(child(child(host, QStringLiteral("SE0")), QStringLiteral("S00")),
                     {{"vendor-id", littleEndianBytes(0x1033)}, {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/SE0@1c0000/S00@0"}});
    EXPECT_EQ(pciNodes(*registry), 9);
}

TEST_F(SysfsRegistryTest, XhciControllersHaveDriverNodesPortsAndAttachedDevices)
{
    const auto registry = buildSysfsRegistry(root);
    const TreeRegistryNode& qemu = driverNode(*registry, QStringLiteral("SA0"), QStringLiteral("14"));
    EXPECT_EQ(qemu.className, QStringLiteral("xhci_hcd"));
    EXPECT_TRUE(qemu.properties.value(QStringLiteral("CFBundleIdentifierKernel")).toString().contains(QStringLiteral("USBXHCI")));
    EXPECT_EQ(qemu.properties.value(QStringLiteral("name")).toByteArray(), QByteArray("SA0\0", 4));
    // The firmware names the ports and numbers the USB 3 ports first; HS07 is hard-wired, HS06
    // and HS08 have no USB 3 peer on a controller with USB 3 ports: USB 2 only.
    EXPECT_EQ(portSummary(qemu), (QStringList{"SS01=1/3", "SS02=2/3", "SS03=3/3:QEMU USB HARDDRIVE", "SS04=4/3", "SS05=5/3",
                                               "SS06=6/3", "HS01=7/3:QEMU USB Keyboard", "HS02=8/3", "HS03=9/3", "HS04=10/3",
                                               "HS05=11/3", "HS06=12/0", "HS07=13/255:QEMU USB Tablet", "HS08=14/0"}));
    const TreeRegistryNode& hs07Port = child(qemu, QStringLiteral("HS07"));
    EXPECT_EQ(hs07Port.className, QStringLiteral("LinuxUSB20XHCIPort"));
    EXPECT_EQ(hs07Port.properties.value(QStringLiteral("name")).toString(), QStringLiteral("HS07"));
    EXPECT_EQ(child(qemu, QStringLiteral("SS01")).className, QStringLiteral("LinuxUSB30XHCIPort"));

    // No firmware ports and no readable port layout: HSnn/SSnn, numbers guessed USB 2 first
    // and said to be guessed. A hub with its devices behind it.
    const TreeRegistryNode& nec = driverNode(*registry, QStringLiteral("S00"), QStringLiteral("0"));
    EXPECT_EQ(portSummary(nec), (QStringList{"HS01=1/3:QEMU USB Mouse", "HS02=2/3:QEMU USB Hub", "HS03=3/3", "HS04=4/3",
                                              "SS01=5/3", "SS02=6/3", "SS03=7/3", "SS04=8/3"}));
    for (const auto& port : nec.serviceChildren)
        EXPECT_EQ(port->properties.value(QStringLiteral("port-number-source")), QStringLiteral("inferred")) << port->name.toStdString();
    EXPECT_FALSE(child(qemu, QStringLiteral("HS01")).properties.contains(QStringLiteral("port-number-source")));
    const TreeRegistryNode& hub = child(child(nec, QStringLiteral("HS02")), QStringLiteral("QEMU USB Hub"));
    ASSERT_EQ(hub.serviceChildren.size(), 2u);
    EXPECT_EQ(hub.serviceChildren[0]->name, QStringLiteral("QEMU USB Keyboard"));
    expectProperties(*hub.serviceChildren[1], {{"locationID", qint64(0x00230000)}, {"IOName", "QEMU USB SERIAL"}});
    // Device serial numbers stay out of the registry.
    for (const TreeRegistryNode* node : allNodes(*registry->root(), kIOServicePlane))
        EXPECT_FALSE(node->properties.contains(QStringLiteral("USB Serial Number"))) << node->name.toStdString();

    // The device-tree plane is the ACPI namespace below the same platform node.
    const TreeRegistryNode& platform = *registry->root()->deviceTreeChildren.at(0);
    EXPECT_EQ(&platform, registry->root()->serviceChildren.at(0).get());
    EXPECT_EQ(allNodes(platform, kIODeviceTreePlane).size(), 57u);
    const TreeRegistryNode* hs07 = findNamed(platform, kIODeviceTreePlane, QStringLiteral("HS07"));
    ASSERT_NE(hs07, nullptr);
    EXPECT_EQ(hs07->location, QStringLiteral("d"));
    expectProperties(*hs07, {{"_ADR", qint64(13)}, {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/SA0@140000/RHUB@0/HS07@d"}});
}

TEST_F(SysfsRegistryTest, TheListingToolPrintsBothPlanesSoThatTheyLoadBackTheSame)
{
    const auto registry = buildSysfsRegistry(root);
    const QString tool = builtTool(QStringLiteral("ioreg"));
    for (const QString& plane : {kIOServicePlane, kIODeviceTreePlane}) {
        const ProcessOutcome listed = runProcessRaw(tool, {"-p", plane, "-l", "-w0", "--root", root}, std::nullopt, 60);
        ASSERT_EQ(listed.exitStatus, 0) << listed.output.toStdString();
        EXPECT_EQ(QString::fromUtf8(listed.output), printIoregText(*registry, plane));
        const auto loaded = loadIoregText(listed.output, plane, plane);
        EXPECT_EQ(treeDifference(*registry->root(), plane, *loaded->root(), plane, /*printed=*/true), QString()) << plane.toStdString();
    }
}

// What the kernel may also tell: the NEC controller's own port layout (debugfs), Type-C
// connectors and a fixed device.
TEST_F(SysfsRegistryTest, PortNumbersAndConnectorsFollowWhatTheKernelTells)
{
    const QString debug = root + "/sys/kernel/debug/usb/xhci/0000:01:00.0/";
    writeFile(debug + "reg-ext-protocol:00", "EXTCAP_REVISION = 0x03000802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x00000401\n");
    writeFile(debug + "reg-ext-protocol:01", "EXTCAP_REVISION = 0x02000802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x00000405\n");
    const QString ports = root + kNec + "/usb3/3-0:1.0/";
    replaceLink(ports + "usb3-port3/connector", "../../../../../../../virtual/typec/port0");
    replaceLink(ports + "usb3-port4/connector", "../../../../../../../virtual/typec/port1");
    QFile::remove(ports + "usb3-port4/peer");
    replaceFile(root + kNec + "/usb3/3-1/removable", "fixed\n");

    const auto registry = buildSysfsRegistry(root);
    const TreeRegistryNode& nec = driverNode(*registry, QStringLiteral("S00"), QStringLiteral("0"));
    EXPECT_EQ(portSummary(nec), (QStringList{"SS01=1/3", "SS02=2/3", "SS03=3/3", "SS04=4/3", "HS01=5/255:QEMU USB Mouse",
                                              "HS02=6/3:QEMU USB Hub", "HS03=7/9", "HS04=8/8"}));
    EXPECT_EQ(child(nec, QStringLiteral("HS03")).className, QStringLiteral("LinuxUSB20XHCITypeCPort"));

    // Port ranges handed over by root stand in for a debugfs the user cannot read.
    ASSERT_TRUE(QDir(root + "/sys/kernel/debug").removeRecursively());
    const auto handedOver = buildSysfsRegistry(root, {{QStringLiteral("0000:01:00.0"), {{3, 0, 1, 4}, {2, 0, 5, 4}}}});
    EXPECT_EQ(portSummary(driverNode(*handedOver, QStringLiteral("S00"), QStringLiteral("0"))), portSummary(nec));
    EXPECT_EQ(portSummary(driverNode(*buildSysfsRegistry(root), QStringLiteral("S00"), QStringLiteral("0"))).first(),
              QStringLiteral("HS01=1/255:QEMU USB Mouse"));
}

// A folder where a file belongs, a FIFO that nobody writes to, garbage, text that is not UTF-8
// with a line break, a link out of the tree, a link that leads nowhere, missing folders.
TEST_F(SysfsRegistryTest, DamagedOrMissingFilesAreLeftOut)
{
    QFile::remove(root + kSa0 + "/vendor");
    QDir().mkpath(root + kSa0 + "/vendor");
    QFile::remove(root + kSa0 + "/device");
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + kSa0 + "/device").constData(), 0644), 0);
    replaceFile(root + kSa0 + "/revision", "zz\n");
    replaceFile(root + kSa0 + "/usb1/1-1/product", "Key\xff\xfe\nboard <class X>\n");
    replaceLink(root + kSa0 + "/firmware_node", "../../../../../../../../../../../../etc");
    replaceLink(root + kNec + "/firmware_node", "../nowhere");
    for (const char* folder : {"/sys/class/dmi", "/sys/firmware", "/sys/bus/acpi"})
        QDir(root + folder).removeRecursively();

    const auto registry = buildSysfsRegistry(root);
    const TreeRegistryNode& platform = *registry->root()->serviceChildren.front();
    EXPECT_EQ(platform.name, QStringLiteral("Linux"));
    EXPECT_TRUE(platform.properties.isEmpty());
    EXPECT_TRUE(platform.deviceTreeChildren.empty());
    const TreeRegistryNode* qemu = findNamed(*registry->root(), kIOServicePlane, QStringLiteral("0000:00:14.0"), QStringLiteral("14"));
    ASSERT_NE(qemu, nullptr); // no IDs and no firmware node left to name it
    for (const char* gone : {"vendor-id", "device-id", "revision-id", "acpi-path"})
        EXPECT_FALSE(qemu->properties.contains(gone)) << gone;
    EXPECT_EQ(qemu->properties.value(QStringLiteral("class-code")).toByteArray(), littleEndianBytes(0x0c0330));
    // Without the ACPI namespace the ports fall back to HSnn/SSnn, USB 2 first.
    const QStringList ports = portSummary(*qemu->serviceChildren.at(0));
    EXPECT_EQ(ports.first(), QStringLiteral("HS01=1/3:Key\uFFFD\uFFFD board <class X>"));
    EXPECT_EQ(ports.last(), QStringLiteral("SS06=14/3"));
}

TEST(SysfsRegistry, EachRootEntryShowsTheMachineAsItIsThen)
{
    QTemporaryDir dir;
    EXPECT_EQ(allNodes(*buildSysfsRegistry(dir.filePath("no such root"))->root(), kIOServicePlane).size(), 2u);
    writeFile(dir.filePath("sys/class/dmi/id/product_name"), "First\n");
    writeFile(dir.filePath("sys/class/dmi/id/product_serial"), "SER-123\n");
    writeFile(dir.filePath("sys/class/dmi/id/product_uuid"), "0b6a3f20-1111-2222-3333-444455556666\n");
    writeFile(dir.filePath("sys/class/dmi/id/board_name"), "Board X\n");
    const SysfsRegistry live(dir.path());
    const auto platformOf = [](const RegistryEntry& root) { return root.childIterator(kIOServicePlane)->next(); };

    const auto first = platformOf(*live.rootEntry());
    EXPECT_EQ(first->name(kIOServicePlane), QStringLiteral("First"));
    const QVariantMap properties = first->properties();
    EXPECT_EQ(properties.value(QStringLiteral("IOPlatformSerialNumber")).toString(), QStringLiteral("SER-123"));
    EXPECT_EQ(properties.value(QStringLiteral("IOPlatformUUID")).toString(), QStringLiteral("0b6a3f20-1111-2222-3333-444455556666"));
    EXPECT_EQ(properties.value(QStringLiteral("board-id")).toByteArray(), QByteArray("Board X\0", 8));

    replaceFile(dir.filePath("sys/class/dmi/id/product_name"), "Second\n");
    EXPECT_EQ(platformOf(*live.rootEntry())->name(kIOServicePlane), QStringLiteral("Second"));
    EXPECT_EQ(first->name(kIOServicePlane), QStringLiteral("First")); // a held entry stays valid
}

TEST(SysfsRegistry, ThisMachineShowsItsPciFunctionsAndFirmwareTables)
{
    const auto registry = buildSysfsRegistry();
    EXPECT_EQ(pciNodes(*registry), QDir("/sys/bus/pci/devices").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
    const QVariantMap tables = registry->root()->serviceChildren.front()->properties.value(QStringLiteral("ACPI Tables")).toMap();
    const QDir tableDir(QStringLiteral("/sys/firmware/acpi/tables"));
    if (::geteuid() != 0 || !tableDir.exists())
        GTEST_SKIP() << "the firmware tables are readable by root only";
    int compared = 0;
    for (const QString& name : tableDir.entryList(QDir::Files | QDir::System)) {
        if (name.size() != 4)
            continue; // numbered tables are keyed SSDT-1...; the single ones keep their name
        EXPECT_EQ(tables.value(name).toByteArray(), readFile(tableDir.filePath(name))) << name.toStdString();
        ++compared;
    }
    EXPECT_GT(compared, 0);
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
