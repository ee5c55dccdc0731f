#include "platform/linux/SysfsRegistry.h"
#include "process/ProcessRunner.h"
#include "usb/NativeUSBTreeScanner.h"

#include "support/TestFiles.h"

#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {

const USBPortMap& portNamed(const USBControllerMap& controller, const QString& name)
{
    for (const USBPortMap& port : controller.ports) {
        if (port.name == name)
            return port;
    }
    static const USBPortMap missing;
    ADD_FAILURE() << "no port " << name.toStdString();
    return missing;
}

// The capture of an emulated machine with two XHCI controllers, read through the sysfs
// registry: the scan sees what the guest's firmware and kernel described.
TEST(USBSysfsScan, FindsBothEmulatedControllers)
{
    QTemporaryDir dir;
    runProcess("/bin/tar", {"-xzf", testing::testData("sysfs/qemu-xhci-sysfs-registry.tar.gz"), "-C", dir.path()}, std::nullopt, 60);
    const auto registry = buildSysfsRegistry(dir.path());
    const AppBundle bundle = AppBundle::atBundlePath(testing::testData("usb/bundle/Velkor.app"), "/nonexistent");
    const USBScanResult result = NativeUSBTreeScanner(*registry, bundle).scan();
    ASSERT_EQ(result.controllers.size(), 2);

    // The NEC controller has no firmware port description: USB 2 ports first, then USB 3.
    const USBControllerMap& nec = result.controllers[0];
    EXPECT_EQ(nec.vendorID, 0x1033);
    EXPECT_EQ(nec.deviceID, 0x0194);
    EXPECT_EQ(nec.usbDeviceName, "NEC Corporation uPD720200 USB 3.0 Host Controller");
    EXPECT_FALSE(nec.providerClass.contains("USBXHCI")); // the Linux driver's own class
    QSet<quint32> numbers;
    for (const USBPortMap& port : nec.ports)
        numbers.insert(portNumber(port));
    EXPECT_EQ(numbers, QSet<quint32>({1, 2, 3, 4, 5, 6, 7, 8}));
    QStringList necNames;
    for (const USBPortMap& port : nec.ports)
        necNames.append(port.name);
    necNames.sort();
    EXPECT_EQ(necNames, QStringList({"HS01", "HS02", "HS03", "HS04", "SS01", "SS02", "SS03", "SS04"}));
    EXPECT_EQ(portNamed(nec, "HS01").activeDevice, "QEMU USB Mouse");
    EXPECT_EQ(portNamed(nec, "HS02").activeDevice, "QEMU USB Hub");

    // The QEMU controller's ports carry the firmware's _ADR numbers: SuperSpeed 1-6, USB 2 7-14.
    const USBControllerMap& qemu = result.controllers[1];
    EXPECT_EQ(qemu.vendorID, 0x1b36);
    EXPECT_EQ(qemu.deviceID, 0x000d);
    ASSERT_EQ(qemu.ports.size(), 14);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(qemu.ports[i].name, QStringLiteral("SS%1").arg(i + 1, 2, 10, QLatin1Char('0')));
        EXPECT_EQ(portNumber(qemu.ports[i]), quint32(i + 1));
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(qemu.ports[6 + i].name, QStringLiteral("HS%1").arg(i + 1, 2, 10, QLatin1Char('0')));
        EXPECT_EQ(portNumber(qemu.ports[6 + i]), quint32(7 + i));
        EXPECT_EQ(qemu.ports[6 + i].connector, i == 6 ? 255 : 3) << "HS0" << i + 1;
    }
    EXPECT_EQ(portNamed(qemu, "HS01").activeDevice, "QEMU USB Keyboard");
    EXPECT_EQ(portNamed(qemu, "HS07").activeDevice, "QEMU USB Tablet");
    EXPECT_EQ(portNamed(qemu, "SS03").activeDevice, "QEMU USB HARDDRIVE");
    EXPECT_TRUE(portNamed(qemu, "SS01").activeDevice.isEmpty());
}

} // namespace
} // namespace velkor
