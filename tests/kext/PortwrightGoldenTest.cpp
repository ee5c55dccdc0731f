#include "kext/PortwrightKext.h"

#include "platform/linux/LibplistPropertyListService.h"
#include "registry/IoregTextLoader.h"
#include "usb/NativeUSBTreeScanner.h"

#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {

using testing::readFile;
using testing::testData;

// The whole bundle and report for the iMac18,3 registry. The golden files were checked by hand
// against the port entries of the registry listing (names, "port" data, "UsbConnector").
TEST(PortwrightGolden, IMacRegistryGivesTheRecordedBundleAndReport)
{
    const auto registry = loadIoregTextFile(testData("registry/imac18-3-ioreg.txt"));
    const AppBundle bundle = AppBundle::atBundlePath(testData("usb/bundle/Velkor.app"), "/nonexistent");
    const QString model = machineModelFromRegistry(*registry);
    EXPECT_EQ(model, "iMac18,3");

    QTemporaryDir work;
    LibplistPropertyListService plists;
    writePortwrightKext(NativeUSBTreeScanner(*registry, bundle).scan(), model, plists, work.path());
    EXPECT_EQ(readFile(work.filePath("Portwright.kext/Contents/Info.plist")), readFile(testData("kext/imac18-3-Info.plist")));
    EXPECT_EQ(readFile(work.filePath("Portwright-report.txt")), readFile(testData("kext/imac18-3-Portwright-report.txt")));
}

} // namespace
} // namespace velkor
