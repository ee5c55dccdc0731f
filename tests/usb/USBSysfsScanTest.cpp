#include "kext/PortwrightKext.h"
#include "platform/linux/SysfsRegistry.h"
#include "usb/NativeUSBTreeScanner.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace velkor {
namespace {

const QString kNec = QStringLiteral("/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0");

void replaceFile(const QString& path, const QByteArray& content)
{
    QFile::remove(path);
    testing::writeFile(path, content);
}

// Gives the ACPI device whose namespace path ends in .from the last name to instead.
void renameFirmwareNode(const QString& root, const QString& from, const QString& to)
{
    QDirIterator files(root + QStringLiteral("/sys/devices/LNXSYSTM:00"), {QStringLiteral("path")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        const QString path = testing::readText(file).trimmed();
        if (path.endsWith(QLatin1Char('.') + from)) {
            replaceFile(file, (path.chopped(from.size()) + to + QLatin1Char('\n')).toUtf8());
            return;
        }
    }
    throw std::runtime_error(("no firmware node " + from).toStdString());
}

// "NAME=number/connector" and what the registry could not tell for certain.
QStringList portSummary(const USBControllerMap& controller)
{
    QStringList summary;
    for (const USBPortMap& port : controller.ports) {
        QString line = QStringLiteral("%1=%2/%3").arg(port.name).arg(portNumber(port)).arg(port.connector);
        if (port.numberInferred)
            line += QStringLiteral(" inferred");
        if (port.connectorInferred)
            line += QStringLiteral(" connector inferred");
        if (!port.firmwareName.isEmpty())
            line += QStringLiteral(" was ") + port.firmwareName;
        if (!port.leftOutReason.isEmpty())
            line += QStringLiteral(" left out");
        summary.append(line);
    }
    return summary;
}

struct Variant {
    const char* what;
    std::function<void(const QString& root)> change; // written by hand; none: the capture as it is
    QStringList necPorts;
    QStringList personalities;      // the port personalities
    QStringList reportHas;
    int warnings;
};

// The capture of an emulated machine with a QEMU and an NEC controller (real, booted in QEMU),
// and variants of it changed by hand, read through the sysfs registry, the scanner and the
// port-map kext generator.
TEST(USBSysfsScan, PortNumbersNamesConnectorsAndPersonalitiesFromLinux)
{
    const QStringList inferredNec = {"HS01=1/3 inferred", "HS02=2/3 inferred", "HS03=3/3 inferred", "HS04=4/3 inferred",
                                     "SS01=5/3 inferred", "SS02=6/3 inferred", "SS03=7/3 inferred", "SS04=8/3 inferred"};
    const QStringList realNec = {"SS01=1/3", "SS02=2/3", "SS03=3/3", "SS04=4/3", "HS01=5/3", "HS02=6/3", "HS03=7/3", "HS04=8/3"};
    // The QEMU controller's firmware numbers and names its ports; HS06 and SS06 are "not used",
    // HS07 is hard-wired, HS08 and HS06 have no USB 3 peer.
    const QStringList qemuHigh = {"HS05=11/3", "HS06=12/0 left out", "HS07=13/255", "HS08=14/0"};
    const Variant variants[] = {
        {"as captured: the NEC controller's layout is unknown to an ordinary user", {}, inferredNec,
         {"Mac-S00", "Mac-SA0"},
         {"  Port numbers: inferred - neither the controller's port layout nor the firmware gives them; USB 2 ports are "
          "counted first, then USB 3 ports.",
          "  HS06@14C00000  port=0c000000  UsbConnector=0 (left out of the kext: the firmware marks it \"not used\")",
          "  SS06@14600000  port=06000000  UsbConnector=3 (left out of the kext: the firmware marks it \"not used\")",
          "  HS01@00100000  port=01000000  UsbConnector=3 active=QEMU USB Mouse (port number inferred)"},
         1},
        {"the NEC controller's extended-protocol ranges in debugfs",
         [](const QString& root) {
             const QString debug = root + QStringLiteral("/sys/kernel/debug/usb/xhci/0000:01:00.0/");
             testing::writeFile(debug + QStringLiteral("reg-ext-protocol:00"),
                                "EXTCAP_REVISION = 0x03000802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x00000401\n");
             testing::writeFile(debug + QStringLiteral("reg-ext-protocol:01"),
                                "EXTCAP_REVISION = 0x02000802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x00000405\n");
         },
         realNec, {"Mac-S00", "Mac-SA0"}, {"  HS01@00500000  port=05000000  UsbConnector=3 active=QEMU USB Mouse"}, 0},
        {"firmware port names the scanner does not take",
         [](const QString& root) {
             for (const char* name : {"HS01", "HS02", "HS03", "HS04"})
                 renameFirmwareNode(root, QString::fromLatin1(name), QStringLiteral("PO") + QString::fromLatin1(name).right(2));
         },
         inferredNec, {"Mac-S00", "Mac-SA0"},
         {"  HS01@14700000  port=07000000  UsbConnector=3 active=QEMU USB Keyboard (named HS01 in place of the firmware's "
          "name PO01, which macOS does not take as a port name)"},
         1},
        {"two controllers the firmware names alike",
         [](const QString& root) {
             renameFirmwareNode(root, QStringLiteral("SA0_"), QStringLiteral("PXSX"));
             renameFirmwareNode(root, QStringLiteral("S00_"), QStringLiteral("PXSX"));
         },
         inferredNec, {"Mac-PXSX_00000000", "Mac-PXSX_14000000"},
         {"  Port personality: Mac-PXSX_00000000 (made unique with the controller's location: another controller has the name PXSX)",
          "  Port personality: Mac-PXSX_14000000 (made unique with the controller's location: another controller has the name PXSX)"},
         1},
        {"a USB 2-only NEC controller: no peers, so Linux knows no connector",
         [](const QString& root) {
             QDir(root + kNec + QStringLiteral("/usb4")).removeRecursively();
             for (int port = 1; port <= 4; ++port)
                 QFile::remove(root + kNec + QStringLiteral("/usb3/3-0:1.0/usb3-port%1/peer").arg(port));
         },
         {"HS01=1/3 inferred connector inferred", "HS02=2/3 inferred connector inferred", "HS03=3/3 inferred connector inferred",
          "HS04=4/3 inferred connector inferred"},
         {"Mac-S00", "Mac-SA0"},
         {"  HS03@00300000  port=03000000  UsbConnector=3 (port number inferred; connector type inferred)"}, 1},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.what);
        QTemporaryDir dir;
        const QString root = testing::extractSysfsCapture(dir.path());
        if (variant.change)
            variant.change(root);
        const auto registry = buildSysfsRegistry(root);
        const AppBundle bundle = AppBundle::atBundlePath(testing::testData("usb/bundle/Velkor.app"), "/nonexistent");
        const USBScanResult scan = NativeUSBTreeScanner(*registry, bundle).scan();
        ASSERT_EQ(scan.controllers.size(), 2);
        const USBControllerMap& nec = scan.controllers[0];
        const USBControllerMap& qemu = scan.controllers[1];
        ASSERT_EQ(nec.vendorID, 0x1033);
        ASSERT_EQ(nec.deviceID, 0x0194);
        EXPECT_EQ(portSummary(nec), variant.necPorts);
        // No port of the capture is lost, whatever its firmware name.
        ASSERT_EQ(qemu.ports.size(), 14);
        EXPECT_EQ(portSummary(qemu).mid(10), qemuHigh);

        const QVariantMap all = portwrightInfoDictionary(scan, "Mac").value("IOKitPersonalities").toMap();
        QStringList ports;
        for (const QString& name : all.keys()) {
            if (name.startsWith(QLatin1String("Mac-"))) {
                ports.append(name);
                const QVariantMap merge = all.value(name).toMap().value("IOProviderMergeProperties").toMap();
                // The QEMU controller's two "not used" ports stay out of the kext.
                const bool isQemu = all.value(name).toMap().value("IOPCIPrimaryMatch") == QStringLiteral("0x000d1b36");
                EXPECT_EQ(merge.value("ports").toMap().size(), isQemu ? 12 : nec.ports.size()) << name.toStdString();
            }
        }
        EXPECT_EQ(ports, variant.personalities);

        const QString report = portwrightReport(scan, "Mac");
        for (const QString& line : variant.reportHas)
            EXPECT_TRUE(report.contains(QLatin1Char('\n') + line + QLatin1Char('\n'))) << line.toStdString() << "\n" << report.toStdString();
        EXPECT_EQ(report.count(QStringLiteral("inferred")) > 0, variant.warnings > 0);
        const QStringList warnings = portwrightWarnings(scan);
        EXPECT_EQ(warnings.size(), variant.warnings);
        for (const QString& warning : warnings)
            EXPECT_TRUE(warning.startsWith(QStringLiteral("WARNING: The USB port numbers of controller ") + nec.name + QLatin1Char('@')))
                << warning.toStdString();
    }
}

} // namespace
} // namespace velkor
