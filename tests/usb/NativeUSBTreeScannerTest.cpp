#include "registry/IoregTextLoader.h"
#include "registry/RegistryTestSupport.h"
#include "usb/NativeUSBTreeScanner.h"
#include "usb/USBScanRules.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;
using R = TestRegistry;

// XHCI controllers (by class code) with their driver (the first in pre-order, or a vendor driver known by its marker property),
// listed once per identity when driverless, identified by IDs or "compatible", sorted by identity then location.
TEST(NativeUSBTreeScanner, FindsXHCIControllersOncePerIdentityInOrder)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d); // no location of its own: the driver's locationID
    R::driver(pci, "XHC1", "AppleUSBXHCIPCI", 0x14000000);
    R::driver(pci, "XHCX", "AppleUSBXHCIPCI", 0x14000000);
    auto ehci = R::add(built.pciRoot, "EH01", "IOPCIDevice", {{"IOName", "EH01"}, {"class-code", QByteArray::fromHex("20030c00")},
                                                             {"vendor-id", littleEndianBytes(0x8086)}, {"device-id", littleEndianBytes(0x1e2d)}});
    R::driver(ehci, "EH01", "AppleUSBXHCIPCI", 0x1D000000);
    R::add(built.pciController("XHC3", 0x1b73, 0x1100), "FLDriver", "VendorDriver", {{"IOName", "FLDriver"}, {"IOProviderClass", "AppleUSBXHCIPCI"}});
    for (const char* location : {"10", "2", "1"})
        R::driver(built.pciController(QStringLiteral("XHC%1").arg(location), 0x8086, 0xa36d, location), "XHC", "AppleUSBXHCISPT", 0x14000000);
    built.pciController("XHC9", 0x8086, 0xa36d, "15"); // driverless, the identity of a controller with a driver
    built.pciController("PXSX", 0x1b21, 0x2142, "4");
    built.pciController("PXSY", 0x1b21, 0x2142, "3");
    R::driver(R::add(built.pciRoot, "XHC", "IOPCIDevice", {{"class-code", QByteArray::fromHex("30030c00")}, {"location", "5"},
                                                           {"compatible", QByteArray("pci1033,0194\0pciclass,0c0330\0", 29)}}),
              "XHC", "AppleUSBXHCIPCI", 0x15000000);
    R::driver(R::add(built.pciRoot, "XHCZ", "IOPCIDevice", {{"class-code", QByteArray::fromHex("30030c00")}, {"vendor-id", littleEndianBytes(0)}}),
              "XHCZ", "AppleUSBXHCISPT", 0x16000000);
    auto loop = R::add(built.root, "Loop", "IOService", {{"IOName", "Loop"}}); // a cycle is cut off
    loop->serviceChildren.push_back(loop);

    const USBScanResult result = NativeUSBTreeScanner(*built.registry()).scan();
    QStringList found;
    for (const USBControllerMap& controller : result.controllers)
        found.append(QStringLiteral("%1 %2:%3@%4 %5 %6").arg(controller.name).arg(controller.vendorID, 0, 16).arg(controller.deviceID, 0, 16)
                         .arg(controller.location, controller.providerClass, controller.ioNameMatch) + controller.usbDeviceName);
    EXPECT_EQ(found, QStringList({"XHC 1033:194@5 AppleUSBXHCIPCI pci1033,0194", "PXSX 1b21:2142@4  pci1b21,2142",
                                  "FLDriver 1b73:1100@ VendorDriver pci1b73,1100", "XHC 8086:a36d@1 AppleUSBXHCISPT pci8086,a36d",
                                  "XHC 8086:a36d@2 AppleUSBXHCISPT pci8086,a36d", "XHC 8086:a36d@10 AppleUSBXHCISPT pci8086,a36d",
                                  "XHC1 8086:a36d@14000000 AppleUSBXHCIPCI pci8086,a36d"}));
    loop->serviceChildren.clear();
}

// Port nodes by name pattern and class or port properties, the first of a name only, numbered by "port", "usb-port-number" or
// location (left out beyond four bytes), connectors inferred for internal ports and devices; the controller's "ports" come first.
TEST(NativeUSBTreeScanner, NamesNumbersAndSortsPorts)
{
    TestRegistry built;
    auto d = R::driver(built.pciController("XHC1", 0x8086, 0xa36d), "XHC1", "AppleUSBXHCISPT", 0x14000000);
    d->properties.insert("ports", QVariantMap{{"HS01", QVariantMap{{"port", littleEndianBytes(5)}, {"UsbConnector", qint64(9)}}},
                                              {"foo", QVariantMap{{"port", littleEndianBytes(6)}}}, {"SS01", QVariantMap{}}});
    R::device(R::add(d, "hs01", "AppleUSB20XHCIPort", {{"name", "hs01@1"}, {"port", littleEndianBytes(1)}}), "Keyboard");
    R::add(d, "ss02", "AppleUSB30XHCIPort", {{"name", "ss02@2"}, {"location", "00000002"}});
    R::add(d, "SS03", "AppleUSB30XHCIPort", {{"name", "SS03@3"}}); // no location: counted from 17 (3 + 16)
    R::add(d, "USR1", "AppleUSBHostPort", {{"name", "USR1"}, {"usb-port-number", QString("0x1F")}});
    R::port(d, "HS10", {{"port", littleEndianBytes(1)}});
    R::port(d, "HS04", {{"port", littleEndianBytes(1)}});
    R::port(d, "HS04", {{"port", littleEndianBytes(9)}});
    // Not ports: a name outside the pattern, a port name on neither a port class nor with port properties, a class alone.
    R::add(d, "AppleUSB20HubPort", "AppleUSB20HubPort", {{"name", "AppleUSB20HubPort"}});
    R::add(d, "PRT5", "IOUSBHostInterface", {{"name", "PRT5"}});
    R::add(d, "HS09", "AppleUSB20XHCIPort", {{"port", littleEndianBytes(9)}});
    R::port(d, "HS11", {{"port", qint64(0x100000001LL)}});
    R::port(d, "HS12", {{"usb-port-number", QString("0x100000002")}, {"UsbConnector", qint64(3)}});
    R::port(d, "HS13", {{"port", qint64(-3)}});
    R::add(d, "SS14", "AppleUSB30XHCIPort", {{"name", "SS14"}, {"location", "1,100000004"}});
    R::port(d, "HS15", {{"port", qint64(0xFFFFFFFFLL)}});
    // Driver and interface nodes are passed over on the way down to the device.
    auto hs06 = R::port(d, "HS06", {{"port", littleEndianBytes(6)}});
    R::add(R::add(hs06, "AppleUSBHostLegacyClient", "AppleUSBHostLegacyClient"), "IOUSBHostInterface", "IOUSBHostInterface");
    R::device(hs06, "Bluetooth USB Host Controller@14500000");
    R::device(R::port(d, "HS07", {{"port", littleEndianBytes(7)}, {"UsbConnector", qint64(9)}}), "Bluetooth Keyboard");
    R::port(d, "HS08", {{"port", littleEndianBytes(8)}});
    R::add(d, "HS16", "AppleUSB20InternalPort", {{"name", "HS16"}, {"port", littleEndianBytes(16)}});
    const USBScanResult result = NativeUSBTreeScanner(*built.registry()).scan();
    QStringList ports{QString::number(result.controllers.size())}; // "NAME port-hex connector [device]"
    for (const USBPortMap& port : result.controllers.value(0).ports)
        ports.append(QStringLiteral("%1 %2 %3 %4").arg(port.name, port.portData.toHex()).arg(port.connector).arg(port.activeDevice).trimmed());
    EXPECT_EQ(ports, QStringList({"1", "HS04 01000000 3", "HS10 01000000 3", "SS02 02000000 3", "HS01 05000000 9",
                                           "HS06 06000000 255 Bluetooth USB Host Controller", "HS07 07000000 9 Bluetooth Keyboard",
                                           "HS08 08000000 3", "HS16 10000000 255", "SS03 13000000 3", "USR1 1f000000 255",
                                           "SS01 00000014 3", "HS15 ffffffff 3"}));
}

// The older MacBook Pro: one controller of the old USB stack and no port nodes.
TEST(NativeUSBTreeScanner, FindsTheOldUSBStacksControllerAndNothingWithoutARoot)
{
    const USBScanResult old = NativeUSBTreeScanner(*loadIoregTextFile(testData("registry/macbookpro11-2-ioreg.txt"))).scan();
    ASSERT_EQ(old.controllers.size(), 1);
    EXPECT_TRUE(old.controllers[0].vendorID == 0x8086 && old.controllers[0].deviceID == 0x8c31 && old.controllers[0].ports.isEmpty());
    EXPECT_EQ(old.controllers[0].providerClass, "AppleUSBXHCI");
    EXPECT_TRUE(NativeUSBTreeScanner(TreeRegistry(nullptr)).scan().isEmpty());
}

TEST(USBScanRules, ClassCodesIdentitiesNamesLocationsAndInferredPortNumbers)
{
    for (const auto& [code, xhci] : std::initializer_list<std::pair<qint64, bool>>{{0x000C0330, true}, {0x0030030C, true}, {0x0C033000, true},
             {0x30030C00, true}, {0x0C0330FF, true}, {0x7F0C0330, true}, {0x1000C0330, true}, {0x000C0320, false}, {0x0C032000, false}, {0, false}})
        EXPECT_EQ(usbscan::isXHCIClassCode(code), xhci) << std::hex << code;
    EXPECT_EQ(usbscan::parsePCIIdentity("XHC PCI8086,A36D"), std::make_pair(qint64(0x8086), qint64(0xa36d)));
    EXPECT_EQ(usbscan::parsePCIIdentity("pci0000,0000 then 1b21:2142"), std::make_pair(qint64(0x1b21), qint64(0x2142)));
    EXPECT_FALSE(usbscan::parsePCIIdentity("XHC1 AppleUSBXHCISPT").has_value());
    EXPECT_EQ(usbscan::registryLocation({{"locationID", qint64(0x14100000)}}), "14100000");
    EXPECT_EQ(usbscan::registryLocation({{"location", QByteArray("1f,3\0", 5)}}), "1F,3");
    EXPECT_EQ(usbscan::registryName({{"name", QByteArray("\0", 1)}, {"compatible", QByteArray("pci1b21,2142\0", 13)}}, "Cls"), "pci1b21,2142");
    EXPECT_EQ(usbscan::registryName({{"name", QByteArray("\xff\xfe", 2)}}, "Cls"), "Cls");
    EXPECT_EQ(usbscan::shortName("  HS01 \n"), "HS01");
    EXPECT_EQ(usbscan::shortName(" HS01 @1"), " HS01 ");
    for (const auto& [name, location, number] :
         {std::tuple{"HS03", "", 3}, {"SS03", "0", 19}, {"SSP1", "zz", 17}, {"USR2", "", 2}, {"HS03", "14,1f,", 31}})
        EXPECT_EQ(usbscan::inferredPortNumber(name, location), number) << name << " at " << location;
}
