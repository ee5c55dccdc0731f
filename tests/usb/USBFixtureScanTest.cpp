#include "registry/IoregTextLoader.h"
#include "usb/NativeUSBTreeScanner.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

struct ExpectedPort {
    const char* name;
    const char* location;
    const char* portHex;
    qint64 connector;
    const char* activeDevice;
};

void expectPorts(const USBControllerMap& controller, const std::vector<ExpectedPort>& expected)
{
    ASSERT_EQ(controller.ports.size(), qsizetype(expected.size())) << controller.name.toStdString();
    for (size_t i = 0; i < expected.size(); ++i) {
        const USBPortMap& port = controller.ports[qsizetype(i)];
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(port.name, QLatin1String(expected[i].name));
        EXPECT_EQ(port.location, QLatin1String(expected[i].location));
        EXPECT_EQ(port.portData.toHex(), QByteArray(expected[i].portHex));
        EXPECT_EQ(port.connector, expected[i].connector);
        EXPECT_EQ(port.activeDevice, QLatin1String(expected[i].activeDevice));
        EXPECT_TRUE(port.comment.isEmpty());
    }
}

// The iMac18,3 registry: the port nodes below XHC1 and XHC2 with their "port" data and
// "UsbConnector" values as the file holds them. Attached devices are known by the first
// entry below the port that is not a USB stack object (the file's device entries carry no
// name property, so their class names stand in).
TEST(USBFixtureScan, FindsTheIMacControllersAndPorts)
{
    const auto registry = loadIoregTextFile(testing::testData("registry/imac18-3-ioreg.txt"));
    const AppBundle bundle = AppBundle::atBundlePath(testing::testData("usb/bundle/Velkor.app"), "/nonexistent");
    const USBScanResult result = NativeUSBTreeScanner(*registry, bundle).scan();

    ASSERT_EQ(result.controllers.size(), 2);
    const USBControllerMap& thunderbolt = result.controllers[0];
    EXPECT_EQ(thunderbolt.name, "XHC2");
    EXPECT_EQ(thunderbolt.location, "00000000");
    EXPECT_EQ(thunderbolt.vendorID, 0x8086);
    EXPECT_EQ(thunderbolt.deviceID, 0x15d4);
    EXPECT_EQ(thunderbolt.ioNameMatch, "pci8086,15d4");
    EXPECT_EQ(thunderbolt.providerClass, "AppleUSBXHCIAR");
    EXPECT_EQ(thunderbolt.usbDeviceName,
              "Intel Corporation JHL6540 Thunderbolt 3 USB Controller (C step) [Alpine Ridge 4C 2016]");
    expectPorts(thunderbolt, {
                                 {"SSP1", "00100000", "03000000", 9, ""},
                                 {"SSP2", "00200000", "04000000", 9, ""},
                             });

    const USBControllerMap& intel = result.controllers[1];
    EXPECT_EQ(intel.name, "XHC1");
    EXPECT_EQ(intel.location, "14000000");
    EXPECT_EQ(intel.vendorID, 0x8086);
    EXPECT_EQ(intel.deviceID, 0xa12f);
    EXPECT_EQ(intel.providerClass, "AppleUSBXHCISPT");
    EXPECT_EQ(intel.usbDeviceName, "Intel Corporation 100 Series/C230 Series Chipset Family USB 3.0 xHCI Controller");
    expectPorts(intel, {
                           {"HS02", "14100000", "02000000", 3, ""},
                           {"HS03", "14200000", "03000000", 3, ""},
                           {"HS04", "14300000", "04000000", 3, "EMUUSBAudioDevice"},
                           {"HS05", "14400000", "05000000", 255, ""},
                           {"HS06", "14500000", "06000000", 255, "BroadcomBluetooth20703USBTransport"},
                           {"HS10", "14600000", "0a000000", 3, ""},
                           {"HS13", "14700000", "0d000000", 9, ""},
                           {"HS14", "14800000", "0e000000", 9, ""},
                           {"SS02", "14900000", "12000000", 3, ""},
                           {"SS04", "14A00000", "14000000", 3, "IOSCSILogicalUnitNub"},
                           {"SS05", "14B00000", "15000000", 3, ""},
                           {"SS06", "14C00000", "16000000", 3, ""},
                       });
}

// The older MacBook Pro registry: one XHCI controller of the old USB stack, no port nodes.
TEST(USBFixtureScan, FindsTheMacBookProControllerWithoutPorts)
{
    const auto registry = loadIoregTextFile(testing::testData("registry/macbookpro11-2-ioreg.txt"));
    const USBScanResult result = NativeUSBTreeScanner(*registry).scan();
    ASSERT_EQ(result.controllers.size(), 1);
    EXPECT_EQ(result.controllers.first().vendorID, 0x8086);
    EXPECT_EQ(result.controllers.first().deviceID, 0x8c31);
    EXPECT_EQ(result.controllers.first().providerClass, "AppleUSBXHCI");
    EXPECT_TRUE(result.controllers.first().ports.isEmpty());
}

} // namespace
} // namespace velkor
