#include "usb/USBIDs.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace velkor;

// The bundle's database is read afresh on every call: each case rewrites it.
TEST(USBIDs, JoinsVendorAndDeviceNamesWithinTheVendorsBlock)
{
    QTemporaryDir dir;
    const AppBundle bundle = AppBundle::atBundlePath(dir.filePath("Velkor.app"), dir.path());
    const struct { QByteArray database; qint64 vendor; qint64 device; const char* name; } cases[] = {
        {"# comment 8086 a36d\n\n1234  Other\n\ta36d  Not this one\n8086  Intel\n\t1111  Something else\n\tA36E  Upper Case Digits\n"
         "\ta36d  USB Host\n", 0x8086, 0xa36d, "Intel USB Host"},
        {"8086  Intel\n\tA36E  Upper Case Digits\n", 0x8086, 0xa36e, "Intel Upper Case Digits"},
        {"1234  Other\n\ta36d  Not this one\n8086  Intel\n", 0x1234, 0xa36d, "Other Not this one"},
        {"8086  Intel\n\t1111  Something else\n", 0x8086, 0x2222, ""}, // a known vendor alone is not a name
        {"8086  Intel\n\t1111  First\n9999  Next Vendor\n\ta36d  Under the next vendor\n8086  Intel again\n\ta36d  Too late\n", 0x8086, 0xa36d, ""},
        {"8086  Intel\n\ta36d\tTabbed\n", 0x8086, 0xa36d, ""}, // the key is followed by a blank
        {"8086  Intel\r\n\ta36d  Windows Lines\r\n", 0x8086, 0xa36d, "Intel Windows Lines"},
        {"8086\n\ta36d  No Vendor Name\n", 0x8086, 0xa36d, "No Vendor Name"},
        {"8086  Intel \xff\n\ta36d  USB Host\n", 0x8086, 0xa36d, ""}, // not UTF-8
    };
    for (const auto& example : cases) {
        velkor::testing::writeFile(bundle.toolsPath() + "/usb.ids", example.database);
        EXPECT_EQ(usbIDsName(bundle, example.vendor, example.device), example.name) << example.database.toStdString();
    }
    EXPECT_EQ(usbIDsNameFromFile(dir.filePath("absent.ids"), 0x8086, 0xa36d), "");
    EXPECT_EQ(usbIDsName(AppBundle(), 0x8086, 0xa36d), "");
}
