#include "kext/PortwrightKext.h"
#include "platform/linux/SysfsRegistry.h"
#include "usb/NativeUSBTreeScanner.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QDirIterator>
#include <gtest/gtest.h>

using namespace velkor;

// Gives the ACPI device whose namespace path ends in .from the last name to instead.
static void renameFirmwareNode(const QString& root, const QString& from, const QString& to)
{
    for (QDirIterator files(root + "/sys/devices/LNXSYSTM:00", {"path"}, QDir::Files, QDirIterator::Subdirectories); files.hasNext();) {
        const QString file = files.next(), path = velkor::testing::readText(file).trimmed();
        if (path.endsWith('.' + from) && QFile::remove(file))
            return velkor::testing::writeFile(file, (path.chopped(from.size()) + to + '\n').toUtf8());
    }
    throw std::runtime_error(("no firmware node " + from).toStdString());
}

// The capture of an emulated machine with a QEMU and an NEC controller (real, booted in QEMU),
// and variants of it changed by hand, through the sysfs registry, the scanner and the kext.
TEST(USBSysfsScan, PortNumbersNamesConnectorsAndPersonalitiesFromLinux)
{
    const QString nec = "/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0";
    const QStringList inferred = {"HS01=1/3 inferred", "HS02=2/3 inferred", "HS03=3/3 inferred", "HS04=4/3 inferred",
                                  "SS01=5/3 inferred", "SS02=6/3 inferred", "SS03=7/3 inferred", "SS04=8/3 inferred"};
    const struct { const char* what; std::function<void(const QString&)> change; QStringList necPorts, personalities, reportHas; } variants[] = {
        {"as captured: the NEC controller's layout is unknown to an ordinary user", [](const QString&) {}, inferred, {"Mac-S00:8", "Mac-SA0:12"},
         {"  Port numbers: inferred - neither the controller's port layout nor the firmware gives them; "
          "USB 2 ports are counted first, then USB 3 ports.",
          "  HS06@14C00000  port=0c000000  UsbConnector=0 (left out of the kext: the firmware marks it \"not used\")",
          "  SS06@14600000  port=06000000  UsbConnector=3 (left out of the kext: the firmware marks it \"not used\")",
          "  HS01@00100000  port=01000000  UsbConnector=3 active=QEMU USB Mouse (port number inferred)"}},
        {"firmware port names the scanner does not take", [](const QString& root) {
             for (const QString name : {"HS01", "HS02", "HS03", "HS04"})
                 renameFirmwareNode(root, name, "PO" + name.right(2));
         }, inferred, {"Mac-S00:8", "Mac-SA0:12"},
         {"  HS01@14700000  port=07000000  UsbConnector=3 active=QEMU USB Keyboard (named HS01 in place of the "
          "firmware's name PO01, which macOS does not take as a port name)"}},
        {"two controllers the firmware names alike", [](const QString& root) {
             renameFirmwareNode(root, "SA0_", "PXSX"), renameFirmwareNode(root, "S00_", "PXSX");
         }, inferred, {"Mac-PXSX_00000000:8", "Mac-PXSX_14000000:12"},
         {"  Port personality: Mac-PXSX_00000000 (made unique with the controller's location: another controller has the name PXSX)"}},
        {"a USB 2-only NEC controller: no peers, so Linux knows no connector", [&](const QString& root) {
             QDir(root + nec + "/usb4").removeRecursively();
             for (int port = 1; port <= 4; ++port)
                 QFile::remove(root + nec + QStringLiteral("/usb3/3-0:1.0/usb3-port%1/peer").arg(port));
         }, QStringList(inferred.mid(0, 4)).replaceInStrings("inferred", "inferred connector inferred"), {"Mac-S00:4", "Mac-SA0:12"},
         {"  HS03@00300000  port=03000000  UsbConnector=3 (port number inferred; connector type inferred)"}},
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        QTemporaryDir dir;
        variant.change(velkor::testing::extractSysfsCapture(dir.path()));
        const USBScanResult scan = NativeUSBTreeScanner(
            *buildSysfsRegistry(dir.path()),
            AppBundle::atBundlePath(velkor::testing::testData("usb/bundle/Velkor.app"), "/nonexistent")).scan();
        ASSERT_EQ(scan.controllers.size(), 2);
        QStringList necPorts, qemuPorts; // "NAME=number/connector" and what the registry could not tell for certain
        for (const auto& [controller, summary] : {std::pair{&scan.controllers[0], &necPorts}, {&scan.controllers[1], &qemuPorts}}) {
            for (const USBPortMap& port : controller->ports)
                summary->append(QStringLiteral("%1=%2/%3").arg(port.name).arg(portNumber(port)).arg(port.connector)
                                + (port.numberInferred ? " inferred" : "") + (port.connectorInferred ? " connector inferred" : "")
                                + (port.leftOutReason.isEmpty() ? "" : " left out"));
        }
        EXPECT_EQ(scan.controllers[0].usbDeviceName, "NEC Corporation uPD720200 USB 3.0 Host Controller");
        EXPECT_EQ(necPorts, variant.necPorts);
        // No port of the QEMU controller is lost; its firmware numbers and names them, "not used" or hard-wired.
        EXPECT_EQ(qemuPorts.size(), 14);
        EXPECT_EQ(qemuPorts.mid(10), QStringList({"HS05=11/3", "HS06=12/0 left out", "HS07=13/255", "HS08=14/0"}));

        const QVariantMap all = portwrightInfoDictionary(scan, "Mac").value("IOKitPersonalities").toMap();
        QStringList personalities; // each with its number of ports: the "not used" ones stay out
        for (const auto& [name, personality] : all.asKeyValueRange())
            if (name.startsWith("Mac-"))
                personalities.append(name + ':' + QString::number(personality.toMap().value("IOProviderMergeProperties").toMap()
                                                                      .value("ports").toMap().size()));
        EXPECT_EQ(personalities, variant.personalities);
        const QString report = portwrightReport(scan, "Mac");
        for (const QString& line : variant.reportHas)
            EXPECT_TRUE(report.contains('\n' + line + '\n')) << line.toStdString() << "\n" << report.toStdString();
        const QStringList warnings = portwrightWarnings(scan);
        EXPECT_TRUE(warnings.size() == 1 && warnings[0].startsWith("WARNING: The USB port numbers of controller " + scan.controllers[0].name + '@'))
            << warnings.join('\n').toStdString();
    }
}
