#include "platform/linux/SysfsRegistry.h"
#include "registry/IoregTextLoader.h"
#include "registry/RegistryTestSupport.h"
#include "usb/NativeUSBTreeScanner.h"

#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {

const AppBundle kBundle = AppBundle::atBundlePath(testing::testData("usb/bundle/Velkor.app"), "/nonexistent");

// "NAME@location port-hex connector [device]" for each port of a controller.
QStringList portsOf(const USBControllerMap& controller)
{
    QStringList ports;
    for (const USBPortMap& port : controller.ports)
        ports.append(QStringLiteral("%1@%2 %3 %4%5").arg(port.name, port.location, QString::fromLatin1(port.portData.toHex()))
                         .arg(port.connector).arg(port.activeDevice.isEmpty() ? QString() : " " + port.activeDevice));
    return ports;
}

QString identityOf(const USBControllerMap& controller)
{
    return QStringLiteral("%1@%2 %3:%4 %5 %6").arg(controller.name, controller.location).arg(controller.vendorID, 4, 16, QLatin1Char('0'))
        .arg(controller.deviceID, 4, 16, QLatin1Char('0')).arg(controller.providerClass, controller.usbDeviceName);
}

// The older MacBook Pro: one controller of the old USB stack and no port nodes. (The iMac's
// controllers and ports are pinned by the kext's golden files.)
TEST(USBFixtureScan, FindsTheMacBookProControllerWithoutPorts)
{
    const auto macbook = loadIoregTextFile(testing::testData("registry/macbookpro11-2-ioreg.txt"));
    const USBScanResult old = NativeUSBTreeScanner(*macbook).scan();
    ASSERT_EQ(old.controllers.size(), 1);
    EXPECT_EQ(identityOf(old.controllers[0]).section(' ', 1, 2), "8086:8c31 AppleUSBXHCI");
    EXPECT_TRUE(old.controllers[0].ports.isEmpty());
}

// The capture of an emulated machine read through the sysfs registry: the Linux driver's own
// class and port classes are taken, with the registry's port numbers and devices.
TEST(USBFixtureScan, FindsBothControllersOfTheSysfsCapture)
{
    QTemporaryDir dir;
    const auto registry = buildSysfsRegistry(testing::extractSysfsCapture(dir.path()));
    const USBScanResult result = NativeUSBTreeScanner(*registry, kBundle).scan();
    ASSERT_EQ(result.controllers.size(), 2);
    EXPECT_EQ(identityOf(result.controllers[0]).section(' ', 1), "1033:0194 xhci_hcd NEC Corporation uPD720200 USB 3.0 Host Controller");
    EXPECT_EQ(portsOf(result.controllers[0]).size(), 8);
    EXPECT_EQ(identityOf(result.controllers[1]).section(' ', 1, 1), "1b36:000d");
    EXPECT_EQ(portsOf(result.controllers[1]).mid(5, 3), QStringList({"SS06@14600000 06000000 3", "HS01@14700000 07000000 3 QEMU USB Keyboard",
                                                                      "HS02@14800000 08000000 3"}));
}

} // namespace
} // namespace velkor
