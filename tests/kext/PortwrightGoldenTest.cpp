#include "kext/PortwrightKext.h"

#include "kext/PlistReading.h"
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
    const USBScanResult scan = NativeUSBTreeScanner(*registry, bundle).scan();
    const QString model = machineModelFromRegistry(*registry);
    EXPECT_EQ(model, "iMac18,3");

    QTemporaryDir work;
    LibplistPropertyListService plists;
    writePortwrightKext(scan, model, plists, work.path());

    const QByteArray info = readFile(work.filePath("Portwright.kext/Contents/Info.plist"));
    const QByteArray report = readFile(work.filePath("Portwright-report.txt"));
    EXPECT_EQ(info, readFile(testData("kext/imac18-3-Info.plist")));
    EXPECT_EQ(report, readFile(testData("kext/imac18-3-Portwright-report.txt")));
    EXPECT_EQ(testing::readPlistDictionary(info), portwrightInfoDictionary(scan, model));
}

} // namespace
} // namespace velkor
