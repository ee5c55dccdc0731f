#include "usb/NativeUSBTreeScanner.h"
#include "usb/USBScanRules.h"
#include "registry/RegistryProperties.h"
#include "registry/RegistryTestSupport.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {


using testing::TestRegistry;
using R = testing::TestRegistry;

USBScanResult scanOf(const TestRegistry& built)
{
    const auto registry = built.registry();
    return NativeUSBTreeScanner(*registry).scan();
}

// "NAME port-hex connector [device]" for each port of the only controller.
QStringList portsOf(const TestRegistry& built)
{
    const USBScanResult result = scanOf(built);
    if (result.controllers.size() != 1)
        return {QStringLiteral("%1 controllers").arg(result.controllers.size())};
    QStringList ports;
    for (const USBPortMap& port : result.controllers.first().ports)
        ports.append(QStringLiteral("%1 %2 %3%4").arg(port.name, QString::fromLatin1(port.portData.toHex())).arg(port.connector)
                         .arg(port.activeDevice.isEmpty() ? QString() : " " + port.activeDevice));
    return ports;
}

// A registry with one Intel controller and its driver, to hang ports below.
struct OneController : TestRegistry {
    std::shared_ptr<TreeRegistryNode> pci = pciController("XHC1", 0x8086, 0xa36d);
    std::shared_ptr<TreeRegistryNode> driverNode = driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
};

TEST(NativeUSBTreeScanner, FindsADriverOnAnXHCIPCIDeviceOnceWithThePCIIdentity)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    R::driver(pci, "XHC1", "AppleUSBXHCIPCI", 0x14000000);
    R::driver(pci, "XHCX", "AppleUSBXHCIPCI", 0x14000000); // a second candidate: the first in pre-order wins
    // A USB 2 (EHCI) controller with an XHCI-looking driver is not an XHCI controller.
    auto ehci = R::add(built.pciRoot, "EH01", "IOPCIDevice", {{"IOName", "EH01"}, {"class-code", QByteArray::fromHex("20030c00")},
                                                             {"vendor-id", littleEndianBytes(0x8086)}, {"device-id", littleEndianBytes(0x1e2d)}});
    R::driver(ehci, "EH01", "AppleUSBXHCIPCI", 0x1D000000);
    // A vendor driver known by its marker property.
    auto fresco = built.pciController("XHC3", 0x1b73, 0x1100);
    R::add(fresco, "FLDriver", "VendorDriver", {{"IOName", "FLDriver"}, {"IOProviderClass", "AppleUSBXHCIPCI"}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 2);
    EXPECT_EQ(result.controllers[0].name, "FLDriver");
    EXPECT_EQ(result.controllers[0].providerClass, "VendorDriver");
    const USBControllerMap& intel = result.controllers[1];
    EXPECT_EQ(intel.name, "XHC1");
    EXPECT_EQ(intel.providerClass, "AppleUSBXHCIPCI");
    EXPECT_EQ(intel.vendorID, 0x8086);
    EXPECT_EQ(intel.deviceID, 0xa36d);
    EXPECT_EQ(intel.ioNameMatch, "pci8086,a36d");
    EXPECT_EQ(intel.location, "14000000"); // the PCI node has none of its own: the driver's locationID
    EXPECT_TRUE(intel.usbDeviceName.isEmpty());

    for (qint64 code : {0x000C0330LL, 0x0030030CLL, 0x0C033000LL, 0x30030C00LL, 0x0C0330FFLL, 0x7F0C0330LL, 0x1000C0330LL})
        EXPECT_TRUE(usbscan::isXHCIClassCode(code)) << std::hex << code;
    for (qint64 code : {0x000C0320LL, 0x0C032000LL, 0LL})
        EXPECT_FALSE(usbscan::isXHCIClassCode(code)) << std::hex << code;
}

TEST(NativeUSBTreeScanner, ListsDriverlessControllersOncePerIdentityAndSortsByIdentityThenLocation)
{
    TestRegistry built;
    for (const char* location : {"10", "2", "1"})
        R::driver(built.pciController(QStringLiteral("XHC%1").arg(location), 0x8086, 0xa36d, location), "XHC", "AppleUSBXHCISPT", 0x14000000);
    built.pciController("XHC9", 0x8086, 0xa36d, "15"); // driverless, same identity as a driver controller
    built.pciController("PXSX", 0x1b21, 0x2142, "4");
    built.pciController("PXSY", 0x1b21, 0x2142, "3"); // a second one of the same model
    // Identity from "compatible" when the IDs are missing; none at all leaves the controller out.
    R::driver(R::add(built.pciRoot, "XHC", "IOPCIDevice", {{"class-code", testing::xhciClassCode()}, {"location", "5"},
                                                           {"compatible", QByteArray("pci1033,0194\0pciclass,0c0330\0", 29)}}),
              "XHC", "AppleUSBXHCIPCI", 0x15000000);
    R::driver(R::add(built.pciRoot, "XHCZ", "IOPCIDevice", {{"class-code", testing::xhciClassCode()}, {"vendor-id", littleEndianBytes(0)}}),
              "XHCZ", "AppleUSBXHCISPT", 0x16000000);

    QStringList order;
    for (const USBControllerMap& controller : scanOf(built).controllers)
        order.append(QStringLiteral("%1:%2/%3 %4").arg(controller.vendorID, 0, 16).arg(controller.deviceID, 0, 16)
                         .arg(controller.location, controller.providerClass.isEmpty() ? "-" : controller.providerClass));
    EXPECT_EQ(order, QStringList({"1033:194/5 AppleUSBXHCIPCI", "1b21:2142/4 -", "8086:a36d/1 AppleUSBXHCISPT",
                                  "8086:a36d/2 AppleUSBXHCISPT", "8086:a36d/10 AppleUSBXHCISPT"}));

    EXPECT_EQ(usbscan::parsePCIIdentity("XHC PCI8086,A36D"), std::make_pair(qint64(0x8086), qint64(0xa36d)));
    EXPECT_EQ(usbscan::parsePCIIdentity("pci0000,0000 then 1b21:2142"), std::make_pair(qint64(0x1b21), qint64(0x2142)));
    EXPECT_FALSE(usbscan::parsePCIIdentity("XHC1 AppleUSBXHCISPT").has_value());
}

TEST(NativeUSBTreeScanner, NamesNumbersAndSortsPortNodes)
{
    OneController built;
    auto& d = built.driverNode;
    R::add(d, "hs01", "AppleUSB20XHCIPort", {{"name", "hs01@1"}, {"port", QByteArray::fromHex("01000000")}});
    R::add(d, "SS02", "AppleUSB30XHCIPort", {{"name", "SS02@2"}, {"location", "00000002"}}); // port 2 from its location
    R::add(d, "SS03", "AppleUSB30XHCIPort", {{"name", "SS03@3"}}); // no location: counted from 17 (3 + 16)
    R::add(d, "USR1", "AppleUSBHostPort", {{"name", "USR1"}, {"usb-port-number", QString("0x1F")}});
    R::port(d, "HS10", {{"port", littleEndianBytes(1)}});
    R::port(d, "HS04", {{"port", littleEndianBytes(1)}});
    R::port(d, "HS04", {{"port", littleEndianBytes(9)}}); // a later node of a name already seen is ignored
    // Not ports: a name outside the pattern, a port name on a node that is neither a port class
    // nor carries port properties, a node known only by its class, numbers beyond four bytes.
    R::add(d, "AppleUSB20HubPort", "AppleUSB20HubPort", {{"name", "AppleUSB20HubPort"}});
    R::add(d, "PRT5", "IOUSBHostInterface", {{"name", "PRT5"}});
    R::add(d, "HS09", "AppleUSB20XHCIPort", {{"port", littleEndianBytes(9)}});
    R::port(d, "HS11", {{"port", qint64(0x100000001LL)}});
    R::port(d, "HS12", {{"usb-port-number", QString("0x100000002")}, {"UsbConnector", qint64(3)}});
    R::port(d, "HS13", {{"port", qint64(-3)}});
    R::add(d, "SS14", "AppleUSB30XHCIPort", {{"name", "SS14"}, {"location", "1,100000004"}});
    R::port(d, "HS15", {{"port", qint64(0xFFFFFFFFLL)}});

    EXPECT_EQ(portsOf(built), QStringList({"HS01 01000000 3", "HS04 01000000 3", "HS10 01000000 3", "SS02 02000000 3",
                                           "SS03 13000000 3", "USR1 1f000000 255", "HS15 ffffffff 3"}));
}

TEST(NativeUSBTreeScanner, InfersConnectorsAndNamesTheFirstAttachedDevice)
{
    OneController built;
    auto hs06 = R::port(built.driverNode, "HS06", {{"port", littleEndianBytes(6)}});
    // Driver and interface nodes are passed over on the way down to the device.
    R::add(R::add(hs06, "AppleUSBHostLegacyClient", "AppleUSBHostLegacyClient"), "IOUSBHostInterface", "IOUSBHostInterface");
    R::device(hs06, "Bluetooth USB Host Controller@14500000");
    R::device(R::port(built.driverNode, "HS07", {{"port", littleEndianBytes(7)}, {"UsbConnector", qint64(9)}}), "Bluetooth Keyboard");
    R::port(built.driverNode, "HS08", {{"port", littleEndianBytes(8)}});
    R::add(built.driverNode, "HS09", "AppleUSB20InternalPort", {{"name", "HS09"}, {"port", littleEndianBytes(9)}});
    EXPECT_EQ(portsOf(built), QStringList({"HS06 06000000 255 Bluetooth USB Host Controller", "HS07 07000000 9 Bluetooth Keyboard",
                                           "HS08 08000000 3", "HS09 09000000 255"}));
}

TEST(NativeUSBTreeScanner, PortsPropertyOfTheControllerBeatsPortNodes)
{
    OneController built;
    built.driverNode->properties.insert("ports", QVariantMap{{"HS01", QVariantMap{{"port", littleEndianBytes(5)}, {"UsbConnector", qint64(9)}}},
                                                             {"foo", QVariantMap{{"port", littleEndianBytes(6)}}},
                                                             {"SS01", QVariantMap{}}});
    R::device(R::port(built.driverNode, "HS01", {{"port", littleEndianBytes(1)}}), "Keyboard");
    // An empty description: the number comes from the controller's location.
    EXPECT_EQ(portsOf(built), QStringList({"HS01 05000000 9", "SS01 00000014 3"}));
    EXPECT_EQ(scanOf(built).controllers.first().ports.first().location, "14000000");
}

class NoRootRegistry : public Registry {
public:
    std::unique_ptr<RegistryEntry> rootEntry() const override { return nullptr; }
};

TEST(NativeUSBTreeScanner, SurvivesMissingAndCyclicRegistries)
{
    EXPECT_TRUE(NativeUSBTreeScanner(NoRootRegistry()).scan().isEmpty());
    TestRegistry cyclic;
    auto loop = R::add(cyclic.root, "Loop", "IOService", {{"IOName", "Loop"}});
    loop->serviceChildren.push_back(loop);
    EXPECT_TRUE(scanOf(cyclic).isEmpty());
    loop->serviceChildren.clear(); // release the cycle
}

TEST(USBScanRules, NamesLocationsAndInferredPortNumbers)
{
    EXPECT_EQ(usbscan::registryLocation({{"locationID", qint64(0x14100000)}}), "14100000");
    EXPECT_EQ(usbscan::registryLocation({{"location", QByteArray("1f,3\0", 5)}}), "1F,3");
    EXPECT_EQ(usbscan::registryName({{"name", QByteArray("\0", 1)}, {"compatible", testing::cString("pci1b21,2142")}}, "Cls"), "pci1b21,2142");
    EXPECT_EQ(usbscan::registryName({{"name", QByteArray("\xff\xfe", 2)}}, "Cls"), "Cls");
    EXPECT_EQ(usbscan::shortName("  HS01 \n"), "HS01");
    EXPECT_EQ(usbscan::shortName(" HS01 @1"), " HS01 ");
    const struct {
        const char* name;
        const char* location;
        qint64 number;
    } inferred[] = {{"HS03", "", 3}, {"SS03", "0", 19}, {"SSP1", "zz", 17}, {"USR2", "", 2}, {"HS03", "14,1f,", 31}};
    for (const auto& port : inferred)
        EXPECT_EQ(usbscan::inferredPortNumber(port.name, port.location), port.number) << port.name << " at " << port.location;
}

} // namespace
} // namespace velkor
