#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "platform/linux/SysfsRegistry.h"

#include "process/ProcessRunner.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QString kSa0 = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0");
const QString kNec = QStringLiteral("/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0");

// Replaces a file of the capture (its files are read-only) with new content.
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

class SysfsRegistryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir();
        s_root = extractSysfsCapture(s_dir->path());
        s_registry = new std::shared_ptr<TreeRegistry>(buildSysfsRegistry(s_root));
    }
    static void TearDownTestSuite()
    {
        delete s_registry;
        delete s_dir;
    }
    static const TreeRegistry& registry() { return **s_registry; }

    static QTemporaryDir* s_dir;
    static QString s_root;
    static std::shared_ptr<TreeRegistry>* s_registry;
};

QTemporaryDir* SysfsRegistryTest::s_dir = nullptr;
QString SysfsRegistryTest::s_root;
std::shared_ptr<TreeRegistry>* SysfsRegistryTest::s_registry = nullptr;

} // namespace

TEST_F(SysfsRegistryTest, PlatformNodeHasTheMachineIdentityAndItsFirmwareTables)
{
    const TreeRegistryNode& root = *registry().root();
    EXPECT_EQ(root.name, QStringLiteral("Root"));
    ASSERT_EQ(root.serviceChildren.size(), 1u);
    const TreeRegistryNode& platform = *root.serviceChildren.front();
    EXPECT_EQ(platform.className, QStringLiteral("IOPlatformExpertDevice"));
    EXPECT_EQ(platform.name, QStringLiteral("Standard PC (Q35 + ICH9, 2009)"));
    EXPECT_EQ(platform.properties.value(QStringLiteral("model")).toByteArray(), QByteArray("Standard PC (Q35 + ICH9, 2009)\0", 31));
    EXPECT_EQ(platform.properties.value(QStringLiteral("manufacturer")).toByteArray(), QByteArray("QEMU\0", 5));
    // The capture's serial number file is empty: no property rather than an empty one.
    EXPECT_FALSE(platform.properties.contains(QStringLiteral("IOPlatformSerialNumber")));

    const QVariantMap tables = platform.properties.value(QStringLiteral("ACPI Tables")).toMap();
    EXPECT_EQ(tables.keys(), (QStringList{"APIC", "DSDT", "FACP", "FACS", "HPET", "MCFG", "SSDT", "WAET"}));
    for (auto it = tables.cbegin(); it != tables.cend(); ++it)
        EXPECT_EQ(it.value().toByteArray(), readFile(s_root + QStringLiteral("/sys/firmware/acpi/tables/") + it.key())) << it.key().toStdString();
    EXPECT_EQ(tables.value(QStringLiteral("DSDT")).toByteArray().size(), 8522);
}

TEST_F(SysfsRegistryTest, PciFunctionsNestUnderTheirBridgesWithTheirIds)
{
    const TreeRegistryNode& platform = *registry().root()->serviceChildren.front();
    const TreeRegistryNode& host = child(platform, QStringLiteral("PCI0"));
    EXPECT_EQ(host.className, QStringLiteral("IOPCIBridge"));
    QStringList functions;
    for (const auto& node : host.serviceChildren)
        functions.append(node->name + QLatin1Char('@') + node->location);
    EXPECT_EQ(functions, (QStringList{"S00@0", "S08@1", "S28@5", "SA0@14", "SE0@1C", "SF8@1F", "pci8086,2922@1F,2", "SFB@1F,3"}));

    const TreeRegistryNode& xhci = child(host, QStringLiteral("SA0"));
    EXPECT_EQ(xhci.className, QStringLiteral("IOPCIDevice"));
    const QVariantMap& ids = xhci.properties;
    EXPECT_EQ(ids.value(QStringLiteral("vendor-id")).toByteArray(), littleEndianBytes(0x1b36));
    EXPECT_EQ(ids.value(QStringLiteral("device-id")).toByteArray(), littleEndianBytes(0x000d));
    EXPECT_EQ(ids.value(QStringLiteral("subsystem-vendor-id")).toByteArray(), littleEndianBytes(0x1af4));
    EXPECT_EQ(ids.value(QStringLiteral("subsystem-id")).toByteArray(), littleEndianBytes(0x1100));
    EXPECT_EQ(ids.value(QStringLiteral("revision-id")).toByteArray(), littleEndianBytes(0x01));
    EXPECT_EQ(ids.value(QStringLiteral("class-code")).toByteArray(), littleEndianBytes(0x0c0330));
    EXPECT_EQ(ids.value(QStringLiteral("IOName")).toString(), QStringLiteral("pci1b36,d"));
    EXPECT_EQ(ids.value(QStringLiteral("name")).toByteArray(), QByteArray("pci1b36,d\0", 10));
    EXPECT_EQ(ids.value(QStringLiteral("compatible")).toByteArray(), QByteArray("pci1af4,1100\0pci1b36,d\0pciclass,0c0330\0SA0\0", 43));
    EXPECT_EQ(ids.value(QStringLiteral("acpi-path")).toString(), QStringLiteral("IOACPIPlane:/_SB/PCI0@0/SA0@140000"));

    // The NEC controller sits behind the root port 00:1c.0, as in sysfs.
    const TreeRegistryNode& nec = child(child(host, QStringLiteral("SE0")), QStringLiteral("S00"));
    EXPECT_EQ(nec.properties.value(QStringLiteral("vendor-id")).toByteArray(), littleEndianBytes(0x1033));
    EXPECT_EQ(nec.properties.value(QStringLiteral("device-id")).toByteArray(), littleEndianBytes(0x0194));
    EXPECT_EQ(nec.properties.value(QStringLiteral("acpi-path")).toString(), QStringLiteral("IOACPIPlane:/_SB/PCI0@0/SE0@1c0000/S00@0"));
    // A function without a firmware node is named by its IDs and has no ACPI path.
    EXPECT_FALSE(child(host, QStringLiteral("pci8086,2922")).properties.contains(QStringLiteral("acpi-path")));

    int pciNodes = 0;
    for (const TreeRegistryNode* node : allNodes(*registry().root(), kIOServicePlane))
        pciNodes += node->className == QStringLiteral("IOPCIDevice");
    EXPECT_EQ(pciNodes, 9);
}

TEST_F(SysfsRegistryTest, XhciControllersHaveDriverNodesPortsAndAttachedDevices)
{
    const TreeRegistryNode& qemu = driverNode(registry(), QStringLiteral("SA0"), QStringLiteral("14"));
    EXPECT_EQ(qemu.className, QStringLiteral("xhci_hcd"));
    EXPECT_FALSE(qemu.className.contains(QStringLiteral("USBXHCI")));
    EXPECT_TRUE(qemu.properties.value(QStringLiteral("CFBundleIdentifierKernel")).toString().contains(QStringLiteral("USBXHCI")));
    EXPECT_EQ(qemu.properties.value(QStringLiteral("name")).toByteArray(), QByteArray("SA0\0", 4));
    // The firmware names the ports and numbers the USB 3 ports first; HS07 is hard-wired, HS06
    // and HS08 have no USB 3 peer on a controller with USB 3 ports: USB 2 only.
    EXPECT_EQ(portSummary(qemu), (QStringList{"SS01=1/3", "SS02=2/3", "SS03=3/3:QEMU USB HARDDRIVE", "SS04=4/3", "SS05=5/3",
                                               "SS06=6/3", "HS01=7/3:QEMU USB Keyboard", "HS02=8/3", "HS03=9/3", "HS04=10/3",
                                               "HS05=11/3", "HS06=12/0", "HS07=13/255:QEMU USB Tablet", "HS08=14/0"}));
    const TreeRegistryNode& hs07 = child(qemu, QStringLiteral("HS07"));
    EXPECT_EQ(hs07.className, QStringLiteral("LinuxUSB20XHCIPort"));
    EXPECT_EQ(hs07.properties.value(QStringLiteral("name")).toString(), QStringLiteral("HS07"));
    EXPECT_EQ(child(qemu, QStringLiteral("SS01")).className, QStringLiteral("LinuxUSB30XHCIPort"));

    // No firmware ports and no readable port layout: HSnn/SSnn, numbers guessed USB 2 first
    // and said to be guessed. A hub with its devices behind it.
    const TreeRegistryNode& nec = driverNode(registry(), QStringLiteral("S00"), QStringLiteral("0"));
    EXPECT_EQ(portSummary(nec), (QStringList{"HS01=1/3:QEMU USB Mouse", "HS02=2/3:QEMU USB Hub", "HS03=3/3", "HS04=4/3",
                                              "SS01=5/3", "SS02=6/3", "SS03=7/3", "SS04=8/3"}));
    for (const auto& port : nec.serviceChildren)
        EXPECT_EQ(port->properties.value(QStringLiteral("port-number-source")), QStringLiteral("inferred")) << port->name.toStdString();
    EXPECT_FALSE(child(qemu, QStringLiteral("HS01")).properties.contains(QStringLiteral("port-number-source")));
    const TreeRegistryNode& hub = child(child(nec, QStringLiteral("HS02")), QStringLiteral("QEMU USB Hub"));
    EXPECT_EQ(hub.className, QStringLiteral("IOUSBHostDevice"));
    EXPECT_EQ(hub.properties.value(QStringLiteral("idVendor")), QVariant::fromValue<qint64>(0x0409));
    ASSERT_EQ(hub.serviceChildren.size(), 2u);
    EXPECT_EQ(hub.serviceChildren[0]->name, QStringLiteral("QEMU USB Keyboard"));
    EXPECT_EQ(hub.serviceChildren[1]->name, QStringLiteral("QEMU USB SERIAL"));
    EXPECT_EQ(hub.serviceChildren[1]->properties.value(QStringLiteral("locationID")), QVariant::fromValue<qint64>(0x00230000));
    EXPECT_EQ(hub.serviceChildren[1]->properties.value(QStringLiteral("IOName")).toString(), QStringLiteral("QEMU USB SERIAL"));
    // Device serial numbers stay out of the registry.
    for (const TreeRegistryNode* node : allNodes(*registry().root(), kIOServicePlane))
        EXPECT_FALSE(node->properties.contains(QStringLiteral("USB Serial Number"))) << node->name.toStdString();
}

TEST_F(SysfsRegistryTest, DeviceTreePlaneIsTheAcpiNamespace)
{
    const TreeRegistryNode& root = *registry().root();
    ASSERT_EQ(root.deviceTreeChildren.size(), 1u);
    EXPECT_EQ(root.deviceTreeChildren.front(), root.serviceChildren.front()); // one platform node in both planes
    const TreeRegistryNode& platform = *root.deviceTreeChildren.front();
    const TreeRegistryNode& rhub = child(child(child(child(platform, QStringLiteral("_SB"), kIODeviceTreePlane), QStringLiteral("PCI0"), kIODeviceTreePlane),
                                               QStringLiteral("SA0"), kIODeviceTreePlane),
                                         QStringLiteral("RHUB"), kIODeviceTreePlane);
    EXPECT_EQ(rhub.deviceTreeChildren.size(), 14u);
    const TreeRegistryNode& hs07 = child(rhub, QStringLiteral("HS07"), kIODeviceTreePlane);
    EXPECT_EQ(hs07.location, QStringLiteral("d"));
    EXPECT_EQ(hs07.properties.value(QStringLiteral("_ADR")), QVariant::fromValue<qint64>(13));
    EXPECT_EQ(hs07.properties.value(QStringLiteral("name")).toByteArray(), QByteArray("HS07\0", 5));
    EXPECT_EQ(hs07.properties.value(QStringLiteral("acpi-path")).toString(), QStringLiteral("IOACPIPlane:/_SB/PCI0@0/SA0@140000/RHUB@0/HS07@d"));
    EXPECT_EQ(allNodes(platform, kIODeviceTreePlane).size(), 57u); // the platform node and 56 named ACPI devices
}

TEST_F(SysfsRegistryTest, TheListingToolPrintsBothPlanesSoThatTheyLoadBackTheSame)
{
    for (const QString& plane : {kIOServicePlane, kIODeviceTreePlane}) {
        // The bundled tool prints what the library's printer prints, and it reads back to the
        // same tree and values, but for the zero byte that ends data: ioreg prints that as text.
        const ProcessOutcome tool = runProcessRaw(builtTool(QStringLiteral("ioreg")),
                                                  {QStringLiteral("-p"), plane, QStringLiteral("-l"), QStringLiteral("-w0"),
                                                   QStringLiteral("--root"), s_root},
                                                  std::nullopt, 60);
        ASSERT_EQ(tool.exitStatus, 0) << tool.output.toStdString();
        EXPECT_EQ(QString::fromUtf8(tool.output), printIoregText(registry(), plane));
        const auto loaded = loadIoregText(tool.output, plane, plane);
        EXPECT_EQ(treeDifference(*registry().root(), plane, *loaded->root(), plane, /*printed=*/true), QString()) << plane.toStdString();
        EXPECT_GT(allNodes(*loaded->root(), plane).size(), 40u);
    }
}

namespace {

// The capture with what the kernel may also tell and with damage: the NEC controller gets its
// port layout, Type-C connectors and a fixed device; the QEMU controller, the DMI folder, the
// firmware tables and the ACPI namespace get broken or removed.
class ChangedSysfsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir();
        const QString root = extractSysfsCapture(s_dir->path());

        // The NEC controller's own port layout (debugfs): USB 3 ports 1-4, USB 2 ports 5-8.
        const QString debug = root + QStringLiteral("/sys/kernel/debug/usb/xhci/0000:01:00.0/");
        writeFile(debug + QStringLiteral("reg-ext-protocol:00"),
                  "EXTCAP_REVISION = 0x03000802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x00000401\n");
        writeFile(debug + QStringLiteral("reg-ext-protocol:01"),
                  "EXTCAP_REVISION = 0x02000802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x00000405\n");
        // A Type-C port with a USB 3 partner, a USB 2-only Type-C port, and a fixed device.
        const QString necPorts = root + kNec + QStringLiteral("/usb3/3-0:1.0/");
        replaceLink(necPorts + QStringLiteral("usb3-port3/connector"), QStringLiteral("../../../../../../../virtual/typec/port0"));
        replaceLink(necPorts + QStringLiteral("usb3-port4/connector"), QStringLiteral("../../../../../../../virtual/typec/port1"));
        QFile::remove(necPorts + QStringLiteral("usb3-port4/peer"));
        replaceFile(root + kNec + QStringLiteral("/usb3/3-1/removable"), "fixed\n");

        // A folder where a file belongs, a FIFO that nobody writes to, garbage, text that is
        // not UTF-8 with a line break, a link out of the tree, a link that leads nowhere.
        const QString sa0 = root + kSa0;
        QFile::remove(sa0 + QStringLiteral("/vendor"));
        QDir().mkpath(sa0 + QStringLiteral("/vendor"));
        QFile::remove(sa0 + QStringLiteral("/device"));
        if (::mkfifo(QFile::encodeName(sa0 + QStringLiteral("/device")).constData(), 0644) != 0)
            throw std::runtime_error("mkfifo failed");
        replaceFile(sa0 + QStringLiteral("/revision"), "zz\n");
        replaceFile(sa0 + QStringLiteral("/usb1/1-1/product"), "Key\xff\xfe\nboard <class X>\n");
        replaceLink(sa0 + QStringLiteral("/firmware_node"), QStringLiteral("../../../../../../../../../../../../etc"));
        replaceLink(root + kNec + QStringLiteral("/firmware_node"), QStringLiteral("../nowhere"));
        QDir(root + QStringLiteral("/sys/class/dmi")).removeRecursively();
        QDir(root + QStringLiteral("/sys/firmware")).removeRecursively();
        QDir(root + QStringLiteral("/sys/bus/acpi")).removeRecursively();

        s_registry = new std::shared_ptr<TreeRegistry>(buildSysfsRegistry(root));
        s_captureRoot = root;
    }
    static void TearDownTestSuite()
    {
        delete s_registry;
        delete s_dir;
    }
    static const TreeRegistry& registry() { return **s_registry; }

    static QTemporaryDir* s_dir;
    static std::shared_ptr<TreeRegistry>* s_registry;
    static QString s_captureRoot;
};

QTemporaryDir* ChangedSysfsTest::s_dir = nullptr;
QString ChangedSysfsTest::s_captureRoot;
std::shared_ptr<TreeRegistry>* ChangedSysfsTest::s_registry = nullptr;

} // namespace

TEST_F(ChangedSysfsTest, PortNumbersAndConnectorsFollowWhatTheKernelTells)
{
    const TreeRegistryNode& nec = driverNode(registry(), QStringLiteral("pci1033,194"), QStringLiteral("0"));
    EXPECT_EQ(portSummary(nec), (QStringList{"SS01=1/3", "SS02=2/3", "SS03=3/3", "SS04=4/3", "HS01=5/255:QEMU USB Mouse",
                                              "HS02=6/3:QEMU USB Hub", "HS03=7/9", "HS04=8/8"}));
    EXPECT_EQ(child(nec, QStringLiteral("HS03")).className, QStringLiteral("LinuxUSB20XHCITypeCPort"));
    EXPECT_EQ(child(nec, QStringLiteral("HS04")).className, QStringLiteral("LinuxUSB20XHCITypeCPort"));
}

// An ordinary user cannot read debugfs; the ranges root handed over number the ports the same.
TEST_F(ChangedSysfsTest, PortRangesHandedOverByRootStandInForDebugfs)
{
    const QString debug = s_captureRoot + QStringLiteral("/sys/kernel/debug");
    ASSERT_TRUE(QDir().rename(debug, debug + QStringLiteral(".unreadable")));
    const auto withoutDebugfs = buildSysfsRegistry(s_captureRoot);
    const auto handedOver = buildSysfsRegistry(s_captureRoot, {{QStringLiteral("0000:01:00.0"), {{3, 0, 1, 4}, {2, 0, 5, 4}}}});
    ASSERT_TRUE(QDir().rename(debug + QStringLiteral(".unreadable"), debug));

    EXPECT_EQ(portSummary(driverNode(*handedOver, QStringLiteral("pci1033,194"), QStringLiteral("0"))),
              portSummary(driverNode(registry(), QStringLiteral("pci1033,194"), QStringLiteral("0"))));
    EXPECT_EQ(portSummary(driverNode(*withoutDebugfs, QStringLiteral("pci1033,194"), QStringLiteral("0"))).first(),
              QStringLiteral("HS01=1/255:QEMU USB Mouse"));
}

TEST_F(ChangedSysfsTest, DamagedOrMissingFilesAreLeftOut)
{
    const TreeRegistryNode& platform = *registry().root()->serviceChildren.front();
    EXPECT_EQ(platform.name, QStringLiteral("Linux"));
    EXPECT_TRUE(platform.properties.isEmpty());
    EXPECT_TRUE(registry().root()->deviceTreeChildren.front()->deviceTreeChildren.empty());

    const TreeRegistryNode* qemu = findNode(*registry().root(), kIOServicePlane, [](const TreeRegistryNode& node) {
        return node.location == QStringLiteral("14") && node.className == QStringLiteral("IOPCIDevice");
    });
    ASSERT_NE(qemu, nullptr);
    EXPECT_EQ(qemu->name, QStringLiteral("0000:00:14.0")); // no IDs and no firmware node left to name it
    EXPECT_FALSE(qemu->properties.contains(QStringLiteral("vendor-id")));
    EXPECT_FALSE(qemu->properties.contains(QStringLiteral("device-id")));
    EXPECT_FALSE(qemu->properties.contains(QStringLiteral("revision-id")));
    EXPECT_FALSE(qemu->properties.contains(QStringLiteral("acpi-path")));
    EXPECT_EQ(qemu->properties.value(QStringLiteral("class-code")).toByteArray(), littleEndianBytes(0x0c0330));
    // Without the ACPI namespace the ports fall back to HSnn/SSnn, USB 2 first.
    const TreeRegistryNode& driver = *qemu->serviceChildren.at(0);
    EXPECT_EQ(portSummary(driver).first(), QStringLiteral("HS01=1/3:Key\uFFFD\uFFFD board <class X>"));
    EXPECT_EQ(portSummary(driver).last(), QStringLiteral("SS06=14/3"));
}

TEST(SysfsRegistry, ARootWithoutSysfsGivesTheBarePlatform)
{
    QTemporaryDir dir;
    const auto empty = buildSysfsRegistry(dir.path() + QStringLiteral("/no such root"));
    EXPECT_EQ(allNodes(*empty->root(), kIOServicePlane).size(), 2u);
    EXPECT_EQ(empty->root()->serviceChildren.front()->name, QStringLiteral("Linux"));
}

TEST(SysfsRegistry, EachRootEntryShowsTheMachineAsItIsThen)
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("sys/class/dmi/id/product_name")), "First\n");
    writeFile(dir.filePath(QStringLiteral("sys/class/dmi/id/product_serial")), "SER-123\n");
    writeFile(dir.filePath(QStringLiteral("sys/class/dmi/id/product_uuid")), "0b6a3f20-1111-2222-3333-444455556666\n");
    writeFile(dir.filePath(QStringLiteral("sys/class/dmi/id/board_name")), "Board X\n");
    const SysfsRegistry live(dir.path());
    const auto platformOf = [](const RegistryEntry& root) { return root.childIterator(kIOServicePlane)->next(); };

    const auto first = platformOf(*live.rootEntry());
    EXPECT_EQ(first->name(kIOServicePlane), QStringLiteral("First"));
    EXPECT_EQ(first->className(), QStringLiteral("IOPlatformExpertDevice"));
    const QVariantMap properties = first->properties();
    EXPECT_EQ(properties.value(QStringLiteral("IOPlatformSerialNumber")).toString(), QStringLiteral("SER-123"));
    EXPECT_EQ(properties.value(QStringLiteral("IOPlatformUUID")).toString(), QStringLiteral("0b6a3f20-1111-2222-3333-444455556666"));
    EXPECT_EQ(properties.value(QStringLiteral("board-id")).toByteArray(), QByteArray("Board X\0", 8));

    replaceFile(dir.filePath(QStringLiteral("sys/class/dmi/id/product_name")), "Second\n");
    EXPECT_EQ(platformOf(*live.rootEntry())->name(kIOServicePlane), QStringLiteral("Second"));
    EXPECT_EQ(first->name(kIOServicePlane), QStringLiteral("First")); // a held entry stays valid
}

TEST(SysfsRegistry, ThisMachineShowsItsPciFunctionsAndFirmwareTables)
{
    const auto registry = buildSysfsRegistry();
    const QStringList functions = QDir(QStringLiteral("/sys/bus/pci/devices")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    int pciNodes = 0;
    for (const TreeRegistryNode* node : allNodes(*registry->root(), kIOServicePlane))
        pciNodes += node->className == QStringLiteral("IOPCIDevice");
    EXPECT_EQ(pciNodes, functions.size());

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

// Class folders hold links to the devices; a pipe where a value should be is passed over at once.
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
