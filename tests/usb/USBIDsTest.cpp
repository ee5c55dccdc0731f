#include "usb/USBIDs.h"

#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {

using testing::builtTool;
using testing::writeFile;

class USBIDs : public ::testing::Test {
protected:
    QString database(const QByteArray& content)
    {
        const QString path = dir.filePath("usb.ids");
        writeFile(path, content);
        return path;
    }
    QTemporaryDir dir;
};

TEST_F(USBIDs, JoinsVendorAndDeviceNames)
{
    const QString path = database("# comment 8086 a36d\n"
                                  "\n"
                                  "1234  Other\n"
                                  "\ta36d  Not this one\n"
                                  "8086  Intel\n"
                                  "\t1111  Something else\n"
                                  "\tA36E  Upper Case Digits\n"
                                  "\ta36d  USB Host\n");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x8086, 0xa36d), "Intel USB Host");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x8086, 0xa36e), "Intel Upper Case Digits");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x1234, 0xa36d), "Other Not this one");
    // A known vendor without the device gives nothing, not the vendor alone.
    EXPECT_EQ(usbIDsNameFromFile(path, 0x8086, 0x2222), "");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x9999, 0xa36d), "");
}

TEST_F(USBIDs, StopsAtTheEndOfTheVendorBlock)
{
    const QString path = database("8086  Intel\n"
                                  "\t1111  First\n"
                                  "9999  Next Vendor\n"
                                  "\ta36d  Under the next vendor\n"
                                  "8086  Intel again\n"
                                  "\ta36d  Too late\n");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x8086, 0xa36d), "");
}

TEST_F(USBIDs, MatchesOnlyAKeyFollowedByABlankAndReadsEveryLineBreak)
{
    EXPECT_EQ(usbIDsNameFromFile(database("8086  Intel\n\ta36d\tTabbed\n"), 0x8086, 0xa36d), "");
    EXPECT_EQ(usbIDsNameFromFile(database("8086  Intel\r\n\ta36d  Windows Lines\r\n"), 0x8086, 0xa36d), "Intel Windows Lines");
    EXPECT_EQ(usbIDsNameFromFile(database("8086\n\ta36d  No Vendor Name\n"), 0x8086, 0xa36d), "No Vendor Name");
}

TEST_F(USBIDs, GivesNothingForMissingOrNonUtf8Databases)
{
    EXPECT_EQ(usbIDsNameFromFile(dir.filePath("absent.ids"), 0x8086, 0xa36d), "");
    EXPECT_EQ(usbIDsNameFromFile(database("8086  Intel \xff\n\ta36d  USB Host\n"), 0x8086, 0xa36d), "");
    EXPECT_EQ(usbIDsName(AppBundle(), 0x8086, 0xa36d), "");
}

TEST_F(USBIDs, ReadsTheBundleDatabaseAfreshOnEveryCall)
{
    const AppBundle bundle = AppBundle::atBundlePath(dir.filePath("Velkor.app"), dir.path());
    writeFile(bundle.toolsPath() + "/usb.ids", "8086  Intel\n\ta36d  First Name\n");
    EXPECT_EQ(usbIDsName(bundle, 0x8086, 0xa36d), "Intel First Name");
    writeFile(bundle.toolsPath() + "/usb.ids", "8086  Intel\n\ta36d  Second Name\n");
    EXPECT_EQ(usbIDsName(bundle, 0x8086, 0xa36d), "Intel Second Name");
}

// The bundled database is the PCI ID list: it names the common XHCI controllers, which the
// USB ID list does not.
TEST(BundledUSBIDs, NamesCommonXHCIControllers)
{
    const QString path = builtTool("usb.ids");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x1b73, 0x1100), "Fresco Logic FL1100 USB 3.0 Host Controller");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x1033, 0x0194), "NEC Corporation uPD720200 USB 3.0 Host Controller");
    EXPECT_EQ(usbIDsNameFromFile(path, 0x1b36, 0x000d), "Red Hat, Inc. QEMU XHCI Host Controller");
    const struct {
        qint64 vendor;
        qint64 device;
        const char* mentions;
    } intelAndOthers[] = {
        {0x8086, 0xa36d, "Cannon Lake"}, {0x8086, 0xa12f, "100 Series"}, {0x8086, 0x15d4, "Thunderbolt"},
        {0x8086, 0x9cb1, "Wildcat Point"}, {0x1b21, 0x2142, "ASM2142"},
    };
    for (const auto& controller : intelAndOthers) {
        const QString name = usbIDsNameFromFile(path, controller.vendor, controller.device);
        EXPECT_TRUE(name.contains(QLatin1String(controller.mentions))) << name.toStdString();
    }
}

} // namespace
} // namespace velkor
