#include "kext/USBControllerReports.h"

#include "registry/RegistryProperties.h"
#include "registry/RegistryTestSupport.h"

#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace velkor {
namespace {


using testing::readText;

const QString kStamp = QStringLiteral("2026-12-05 07:57:39 +0000");

USBPortMap port(const QString& name, const QByteArray& data, qint64 connector = 3, const QString& active = {})
{
    USBPortMap map;
    map.name = name;
    map.connector = connector;
    map.portData = data;
    map.activeDevice = active;
    return map;
}

TEST(PCIUSBControllersReport, ListsControllersInScanOrderWithPortsByName)
{
    USBScanResult scan;
    USBControllerMap first;
    first.name = "XHC1";
    first.location = "14000000";
    first.vendorID = 0x8086;
    first.deviceID = 0xa36d;
    first.ioNameMatch = "pci8086,a36d";
    first.providerClass = "AppleUSBXHCISPT";
    first.usbDeviceName = "Intel Corporation Cannon Lake PCH USB 3.1 xHCI Host Controller";
    first.ports = {port("SS1", littleEndianBytes(17)), port("HS10", littleEndianBytes(10), 255, "Keyboard"), port("HS2", littleEndianBytes(2)),
                   port("HS01", QByteArray())};
    USBControllerMap second;
    second.name = "PXSX";
    second.vendorID = 0x1b21;
    second.deviceID = 0x2142;
    second.ioNameMatch = "pci1b21,2142";
    scan.controllers = {first, second};

    EXPECT_EQ(pciUSBControllersReportText(scan, kStamp),
              "Velkor PCI/USB Controllers Report\n"
              "Generated: 2026-12-05 07:57:39 +0000\n"
              "\n"
              "Controller 1: XHC1\n"
              "  PCI ID: 8086:a36d\n"
              "  IOPCIPrimaryMatch: 0xa36d8086\n"
              "  IONameMatch: pci8086,a36d\n"
              "  Provider class: AppleUSBXHCISPT\n"
              "  Location: 14000000\n"
              "  Name: Intel Corporation Cannon Lake PCH USB 3.1 xHCI Host Controller\n"
              "  Ports detected: 4\n"
              "    - HS01: connector=3, port=<>, active=none\n"
              "    - HS2: connector=3, port=<02000000>, active=none\n"
              "    - HS10: connector=255, port=<0a000000>, active=Keyboard\n"
              "    - SS1: connector=3, port=<11000000>, active=none\n"
              "\n"
              "Controller 2: PXSX\n"
              "  PCI ID: 1b21:2142\n"
              "  IOPCIPrimaryMatch: 0x21421b21\n"
              "  IONameMatch: pci1b21,2142\n"
              "  Provider class: not attached\n"
              "  Location: unknown\n"
              "  Ports detected: 0\n"
              "\n");
    EXPECT_EQ(pciUSBControllersReportText(USBScanResult(), kStamp),
              "Velkor PCI/USB Controllers Report\n"
              "Generated: 2026-12-05 07:57:39 +0000\n"
              "\n"
              "No USB/XHCI controller detected by native IOKit scan.\n");
}

class USBReportFiles : public ::testing::Test {
protected:
    testing::StepFixture f;
    testing::TestEnvironment& environment = f.env;
    StepContext& context = f.ctx;
};

TEST_F(USBReportFiles, WritesTheControllerReportFromTheRegistryMasked)
{
    testing::TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = testing::TestRegistry::driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    auto hs01 = testing::TestRegistry::port(driver, "HS01", {{"port", littleEndianBytes(1)}});
    testing::TestRegistry::device(hs01, "Stick 00:11:22:33:44:55");
    environment.platform.registry = built.registry();

    const QString to = environment.path("Wörk 'q'/PCI-USB-Controllers.txt");
    QDir().mkpath(environment.path("Wörk 'q'"));
    writePCIUSBControllersReport(context, to);
    const QString text = readText(to);
    EXPECT_TRUE(text.contains(QRegularExpression("^Generated: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$",
                                                 QRegularExpression::MultilineOption)));
    EXPECT_TRUE(text.contains("    - HS01: connector=3, port=<01000000>, active=Stick XX:XX:XX:XX:XX:XX\n"));

    environment.platform.registry.reset();
    writePCIUSBControllersReport(context, to);
    EXPECT_TRUE(readText(to).endsWith("\nNo USB/XHCI controller detected by native IOKit scan.\n"));
}

TEST_F(USBReportFiles, PowerReportKeepsGoingPastFailingCommandsAndMasks)
{
    CommandTable& commands = environment.platform.commands;
    commands.usbPowerSettings = f.fake("settings", "echo 'sleep 1'\necho 'Serial Number: C02ABC123DEF'");
    commands.usbPowerAssertions = f.fake("assertions", "echo partial\nexit 3");
    commands.usbDeviceTree = f.fake("tree", "printf 'bad \\377 bytes\\n'");

    const QString to = environment.path("USBPower.txt");
    writeUSBPowerReport(context, to);
    // Each output is inserted as it came, its own final line break included; bytes that are
    // not UTF-8 come back as U+FFFD, with a note line.
    EXPECT_EQ(readText(to).section('\n', 2),
              "\n"
              "pmset -g:\n"
              "sleep 1\n"
              "Serial Number: XX-MASKED-XX\n"
              "\n"
              "\n"
              "pmset -g assertions:\n"
              "Failure/timeout while running "
                  + commands.usbPowerAssertions.commandLine()
                  + "\n"
                    "\n"
                    "SPUSBDataType:\n"
                  + QString::fromUtf8("bad \uFFFD bytes\n")
                  + "[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n"
                    "\n");
    EXPECT_TRUE(readText(to).startsWith("Velkor USB Power Report\nGenerated: "));

    commands.usbDeviceTree = {"/nonexistent/lsusb", {"-t"}};
    writeUSBPowerReport(context, to);
    EXPECT_TRUE(readText(to).endsWith("SPUSBDataType:\nFailure/timeout while running /nonexistent/lsusb -t\n"));
}

} // namespace
} // namespace velkor
