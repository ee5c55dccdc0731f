#include "usb/NativeUSBTreeScanner.h"
#include "usb/USBScanRules.h"

#include "registry/RegistryTestSupport.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

using testing::cString;
using testing::TestRegistry;

USBScanResult scanOf(const TestRegistry& built)
{
    const auto registry = built.registry();
    return NativeUSBTreeScanner(*registry).scan();
}

QStringList portNames(const USBControllerMap& controller)
{
    QStringList names;
    for (const USBPortMap& port : controller.ports)
        names.append(port.name);
    return names;
}

const USBPortMap* findPort(const USBControllerMap& controller, const QString& name)
{
    for (const USBPortMap& port : controller.ports) {
        if (port.name == name)
            return &port;
    }
    return nullptr;
}

TEST(NativeUSBTreeScanner, FindsADriverOnAnXHCIPCIDeviceOnceWithThePCIIdentity)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::driver(pci, "XHC1", "AppleUSBXHCIPCI", 0x14000000);
    // A second driver candidate below the same device: the first in pre-order wins.
    TestRegistry::driver(pci, "XHCX", "AppleUSBXHCIPCI", 0x14000000);
    // A USB 2 (EHCI) controller with an XHCI-looking driver is not an XHCI controller.
    auto ehci = TestRegistry::add(built.pciRoot, "EH01", "IOPCIDevice",
                                     {{"IOName", "EH01"}, {"class-code", QByteArray::fromHex("20030c00")},
                                      {"vendor-id", littleEndianBytes(0x8086)}, {"device-id", littleEndianBytes(0x1e2d)}});
    TestRegistry::driver(ehci, "EH01", "AppleUSBXHCIPCI", 0x1D000000);

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    const USBControllerMap& controller = result.controllers.first();
    EXPECT_EQ(controller.name, "XHC1");
    EXPECT_EQ(controller.providerClass, "AppleUSBXHCIPCI");
    EXPECT_EQ(controller.vendorID, 0x8086);
    EXPECT_EQ(controller.deviceID, 0xa36d);
    EXPECT_EQ(controller.ioNameMatch, "pci8086,a36d");
    // The PCI node has no location of its own, so the driver's locationID stands in.
    EXPECT_EQ(controller.location, "14000000");
    EXPECT_TRUE(controller.usbDeviceName.isEmpty());
}

TEST(NativeUSBTreeScanner, RecognisesDriversByMarkerPropertyAndClassCodeByteOrders)
{
    TestRegistry built;
    auto pci = built.pciController("XHC3", 0x1b73, 0x1100);
    TestRegistry::add(pci, "FLDriver", "VendorDriver", {{"IOName", "FLDriver"}, {"IOProviderClass", "AppleUSBXHCIPCI"}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    EXPECT_EQ(result.controllers.first().providerClass, "VendorDriver");
    EXPECT_EQ(result.controllers.first().name, "FLDriver");

    for (qint64 code : {0x000C0330LL, 0x0030030CLL, 0x0C033000LL, 0x30030C00LL, 0x0C0330FFLL, 0x7F0C0330LL, 0x1000C0330LL})
        EXPECT_TRUE(usbscan::isXHCIClassCode(code)) << std::hex << code;
    for (qint64 code : {0x000C0320LL, 0x0C032000LL, 0LL})
        EXPECT_FALSE(usbscan::isXHCIClassCode(code)) << std::hex << code;
}

TEST(NativeUSBTreeScanner, ListsDriverlessPCIControllersOncePerIdentity)
{
    TestRegistry built;
    auto withDriver = built.pciController("XHC1", 0x8086, 0xa36d, "14");
    TestRegistry::driver(withDriver, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    built.pciController("XHC9", 0x8086, 0xa36d, "15"); // same identity as a driver controller
    built.pciController("PXSX", 0x1b21, 0x2142, "2");
    built.pciController("PXSY", 0x1b21, 0x2142, "3"); // a second one of the same model

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 2);
    const USBControllerMap& asmedia = result.controllers[0]; // sorted by vendor
    EXPECT_EQ(asmedia.name, "PXSX");
    EXPECT_EQ(asmedia.location, "2");
    EXPECT_TRUE(asmedia.providerClass.isEmpty());
    EXPECT_TRUE(asmedia.ports.isEmpty());
    EXPECT_EQ(result.controllers[1].providerClass, "AppleUSBXHCISPT");
    EXPECT_EQ(result.controllers[1].location, "14");
}

TEST(NativeUSBTreeScanner, ReadsTheIdentityFromCompatibleWhenIDsAreMissing)
{
    TestRegistry built;
    auto pci = TestRegistry::add(built.pciRoot, "XHC", "IOPCIDevice",
                                    {{"class-code", testing::xhciClassCode()},
                                     {"compatible", QByteArray("pci8086,a36d\0pciclass,0c0330\0", 29)}});
    TestRegistry::driver(pci, "XHC", "AppleUSBXHCISPT", 0x14000000);
    // Without any identity the controller is left out.
    auto anonymous = TestRegistry::add(built.pciRoot, "XHCZ", "IOPCIDevice",
                                          {{"class-code", testing::xhciClassCode()}, {"vendor-id", littleEndianBytes(0)}});
    TestRegistry::driver(anonymous, "XHCZ", "AppleUSBXHCISPT", 0x15000000);

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    EXPECT_EQ(result.controllers.first().vendorID, 0x8086);
    EXPECT_EQ(result.controllers.first().deviceID, 0xa36d);

    EXPECT_EQ(usbscan::parsePCIIdentity("XHC PCI8086,A36D"), std::make_pair(qint64(0x8086), qint64(0xa36d)));
    EXPECT_EQ(usbscan::parsePCIIdentity("pci0000,0000 then 1b21:2142"), std::make_pair(qint64(0x1b21), qint64(0x2142)));
    EXPECT_FALSE(usbscan::parsePCIIdentity("XHC1 AppleUSBXHCISPT").has_value());
}

TEST(NativeUSBTreeScanner, NamesAndNumbersPortNodes)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    TestRegistry::add(driver, "hs01", "AppleUSB20XHCIPort", {{"name", "hs01@1"}, {"port", QByteArray::fromHex("01000000")}});
    TestRegistry::add(driver, "SS02", "AppleUSB30XHCIPort", {{"name", "SS02@2"}, {"location", "00000002"}});
    TestRegistry::add(driver, "SS03", "AppleUSB30XHCIPort", {{"name", "SS03@3"}});
    TestRegistry::add(driver, "USR1", "AppleUSBHostPort", {{"name", "USR1"}, {"usb-port-number", QString("0x1F")}});
    // Not ports: a name outside the pattern, and a port name on a node that is neither a port
    // class nor carries port properties.
    TestRegistry::add(driver, "AppleUSB20HubPort", "AppleUSB20HubPort", {{"name", "AppleUSB20HubPort"}});
    TestRegistry::add(driver, "PRT5", "IOUSBHostInterface", {{"name", "PRT5"}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    const USBControllerMap& controller = result.controllers.first();
    EXPECT_EQ(portNames(controller), QStringList({"HS01", "SS02", "SS03", "USR1"}));
    EXPECT_EQ(findPort(controller, "HS01")->portData, QByteArray::fromHex("01000000"));
    // SS02 at location 00000002 is port 2; SS03 without a location counts from 17 (3 + 16).
    EXPECT_EQ(findPort(controller, "SS02")->portData, QByteArray::fromHex("02000000"));
    EXPECT_EQ(findPort(controller, "SS02")->location, "00000002");
    EXPECT_EQ(findPort(controller, "SS03")->portData, QByteArray::fromHex("13000000"));
    EXPECT_EQ(findPort(controller, "USR1")->portData, QByteArray::fromHex("1f000000"));
    EXPECT_EQ(findPort(controller, "USR1")->connector, 255);
    EXPECT_EQ(findPort(controller, "HS01")->connector, 3);
}

TEST(NativeUSBTreeScanner, SortsPortsByNumberThenNumericAwareName)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    TestRegistry::port(driver, "HS10", {{"port", littleEndianBytes(1)}});
    TestRegistry::port(driver, "HS02", {{"port", littleEndianBytes(1)}});
    TestRegistry::port(driver, "HS03", {{"port", littleEndianBytes(0)}});
    // A later node of a name already seen is ignored.
    TestRegistry::port(driver, "HS02", {{"port", littleEndianBytes(9)}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    EXPECT_EQ(portNames(result.controllers.first()), QStringList({"HS03", "HS02", "HS10"}));
    EXPECT_EQ(findPort(result.controllers.first(), "HS02")->portData, littleEndianBytes(1));
}

TEST(NativeUSBTreeScanner, InfersConnectorsAndNamesTheFirstAttachedDevice)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    auto hs06 = TestRegistry::port(driver, "HS06", {{"port", littleEndianBytes(6)}});
    // Driver and interface nodes are passed over on the way down to the device.
    auto legacy = TestRegistry::add(hs06, "AppleUSBHostLegacyClient", "AppleUSBHostLegacyClient");
    TestRegistry::add(legacy, "IOUSBHostInterface", "IOUSBHostInterface");
    TestRegistry::device(hs06, "Bluetooth USB Host Controller@14500000");
    auto hs07 = TestRegistry::port(driver, "HS07", {{"port", littleEndianBytes(7)}, {"UsbConnector", qint64(9)}});
    TestRegistry::device(hs07, "Bluetooth Keyboard");
    TestRegistry::port(driver, "HS08", {{"port", littleEndianBytes(8)}});
    TestRegistry::add(driver, "HS09", "AppleUSB20InternalPort", {{"name", "HS09"}, {"port", littleEndianBytes(9)}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    const USBControllerMap& controller = result.controllers.first();
    EXPECT_EQ(findPort(controller, "HS06")->connector, 255);
    EXPECT_EQ(findPort(controller, "HS06")->activeDevice, "Bluetooth USB Host Controller");
    EXPECT_EQ(findPort(controller, "HS07")->connector, 9); // read, not inferred
    EXPECT_EQ(findPort(controller, "HS08")->connector, 3);
    EXPECT_TRUE(findPort(controller, "HS08")->activeDevice.isEmpty());
    EXPECT_EQ(findPort(controller, "HS09")->connector, 255);
}

TEST(NativeUSBTreeScanner, PortsPropertyOfTheControllerBeatsPortNodes)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    driver->properties.insert("ports", QVariantMap{{"HS01", QVariantMap{{"port", littleEndianBytes(5)}, {"UsbConnector", qint64(9)}}},
                                                   {"foo", QVariantMap{{"port", littleEndianBytes(6)}}},
                                                   {"SS01", QVariantMap{}}});
    auto hs01 = TestRegistry::port(driver, "HS01", {{"port", littleEndianBytes(1)}});
    TestRegistry::device(hs01, "Keyboard");

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    const USBControllerMap& controller = result.controllers.first();
    EXPECT_EQ(portNames(controller), QStringList({"HS01", "SS01"}));
    const USBPortMap* hs01Port = findPort(controller, "HS01");
    EXPECT_EQ(hs01Port->portData, littleEndianBytes(5));
    EXPECT_EQ(hs01Port->connector, 9);
    EXPECT_EQ(hs01Port->location, "14000000");
    EXPECT_TRUE(hs01Port->activeDevice.isEmpty());
    // An empty description: the number comes from the controller's location.
    EXPECT_EQ(findPort(controller, "SS01")->portData, littleEndianBytes(0x14000000));
}

TEST(NativeUSBTreeScanner, SkipsPortNumbersThatDoNotFitInFourBytes)
{
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::driver(pci, "XHC1", "AppleUSBXHCISPT", 0x14000000);
    TestRegistry::port(driver, "HS01", {{"port", qint64(0x100000001LL)}});
    TestRegistry::port(driver, "HS02", {{"usb-port-number", QString("0x100000002")}, {"UsbConnector", qint64(3)}});
    TestRegistry::port(driver, "HS03", {{"port", qint64(-3)}});
    TestRegistry::add(driver, "SS04", "AppleUSB30XHCIPort", {{"name", "SS04"}, {"location", "1,100000004"}});
    TestRegistry::port(driver, "HS05", {{"port", qint64(0xFFFFFFFFLL)}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    EXPECT_EQ(portNames(result.controllers.first()), QStringList({"HS05"}));
    EXPECT_EQ(result.controllers.first().ports.first().portData, QByteArray::fromHex("ffffffff"));
}

TEST(NativeUSBTreeScanner, SortsControllersByIdentityThenLocationNumerically)
{
    TestRegistry built;
    for (const char* location : {"10", "2", "1"}) {
        auto pci = built.pciController(QStringLiteral("XHC%1").arg(location), 0x8086, 0xa36d, location);
        TestRegistry::driver(pci, "XHC", "AppleUSBXHCISPT", 0x14000000);
    }
    TestRegistry::driver(built.pciController("XHCA", 0x1033, 0x0194, "5"), "XHCA", "AppleUSBXHCIPCI", 1);

    const USBScanResult result = scanOf(built);
    QStringList order;
    for (const USBControllerMap& controller : result.controllers)
        order.append(QStringLiteral("%1/%2").arg(controller.vendorID, 0, 16).arg(controller.location));
    EXPECT_EQ(order, QStringList({"1033/5", "8086/1", "8086/2", "8086/10"}));
}

TEST(NativeUSBTreeScanner, ReadsPropertiesOnlyForNames)
{
    // The registry's own entry name is not a property; a node without name properties is
    // known by its class.
    TestRegistry built;
    auto pci = built.pciController("XHC1", 0x8086, 0xa36d);
    auto driver = TestRegistry::add(pci, "XHC1", "AppleUSBXHCISPT", {{"locationID", qint64(0x14000000)}});
    TestRegistry::add(driver, "HS01", "AppleUSB20XHCIPort", {{"port", littleEndianBytes(1)}});

    const USBScanResult result = scanOf(built);
    ASSERT_EQ(result.controllers.size(), 1);
    EXPECT_EQ(result.controllers.first().name, "AppleUSBXHCISPT");
    EXPECT_TRUE(result.controllers.first().ports.isEmpty());
}

class NoRootRegistry : public Registry {
public:
    std::unique_ptr<RegistryEntry> rootEntry() const override { return nullptr; }
};

TEST(NativeUSBTreeScanner, AMissingRegistryRootGivesAnEmptyResult)
{
    EXPECT_TRUE(NativeUSBTreeScanner(NoRootRegistry()).scan().isEmpty());
}

TEST(USBScanRules, NamesLocationsAndInferredPortNumbers)
{
    EXPECT_EQ(usbscan::registryLocation({{"locationID", qint64(0x14100000)}}), "14100000");
    EXPECT_EQ(usbscan::registryLocation({{"location", QByteArray("1f,3\0", 5)}}), "1F,3");
    EXPECT_EQ(usbscan::registryName({{"name", QByteArray("\0", 1)}, {"compatible", cString("pci1b21,2142")}}, "Cls"),
              "pci1b21,2142");
    EXPECT_EQ(usbscan::registryName({{"name", QByteArray("\xff\xfe", 2)}}, "Cls"), "Cls");
    EXPECT_EQ(usbscan::shortName("  HS01 \n"), "HS01");
    EXPECT_EQ(usbscan::shortName(" HS01 @1"), " HS01 ");

    EXPECT_EQ(usbscan::inferredPortNumber("HS03", ""), 3);
    EXPECT_EQ(usbscan::inferredPortNumber("SS03", "0"), 19);
    EXPECT_EQ(usbscan::inferredPortNumber("SSP1", "zz"), 17);
    EXPECT_EQ(usbscan::inferredPortNumber("USR2", ""), 2);
    EXPECT_EQ(usbscan::inferredPortNumber("HS03", "14,1f,"), 31);
}

} // namespace
} // namespace velkor
