#include "kext/PortwrightKext.h"

#include "base/CollectorError.h"
#include "steps/StepContext.h"
#include "kext/PlistReading.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "process/ProcessRunner.h"
#include "registry/RegistryTestSupport.h"

#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {

using testing::readFile;
using testing::readText;
using testing::writeFile;

USBPortMap port(const QString& name, const QByteArray& data, qint64 connector = 3, const QString& active = {})
{
    USBPortMap map;
    map.name = name;
    map.location = QStringLiteral("1400000") + name.right(1);
    map.connector = connector;
    map.portData = data;
    map.activeDevice = active;
    return map;
}

USBControllerMap controller(const QString& name, qint64 vendor, qint64 device, QList<USBPortMap> ports = {},
                            const QString& providerClass = {})
{
    USBControllerMap map;
    map.name = name;
    map.location = QStringLiteral("14000000");
    map.vendorID = vendor;
    map.deviceID = device;
    map.ioNameMatch = QStringLiteral("pci%1,%2").arg(vendor, 4, 16, QLatin1Char('0')).arg(device, 4, 16, QLatin1Char('0'));
    map.providerClass = providerClass;
    map.ports = std::move(ports);
    return map;
}

QVariantMap personalities(const USBScanResult& scan, const QString& model = QStringLiteral("Mac"))
{
    return portwrightInfoDictionary(scan, model).value("IOKitPersonalities").toMap();
}

QVariantMap mergeOf(const QVariantMap& all, const QString& name)
{
    return all.value(name).toMap().value("IOProviderMergeProperties").toMap();
}

QStringList reportLines(const USBScanResult& scan)
{
    return portwrightReport(scan).split('\n');
}

TEST(PortwrightInfo, OneSupportPersonalityPerPCIIdentityAndOnePortPersonalityPerController)
{
    USBScanResult scan;
    scan.controllers = {controller("XHC1", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}, "AppleUSBXHCISPT"),
                        controller("XHC2", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}, "AppleUSBXHCISPT")};
    scan.controllers[0].usbDeviceName = "Intel Corporation Cannon Lake PCH USB 3.1 xHCI Host Controller";
    const QVariantMap all = personalities(scan, "iMac18,3");
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCISPT Intel_8086_A36D", "iMac18,3-XHC1", "iMac18,3-XHC2"}));

    const QVariantMap support = all.value("AppleUSBXHCISPT Intel_8086_A36D").toMap();
    EXPECT_EQ(support, (QVariantMap{{"CFBundleIdentifier", "com.apple.driver.usb.AppleUSBXHCIPCI"},
                                    {"IOClass", "AppleUSBXHCISPT"},
                                    {"IOPCIPrimaryMatch", "0xa36d8086"},
                                    {"IOPCIPauseCompatible", true},
                                    {"IOPCITunnelCompatible", true},
                                    {"IOProbeScore", qint64(900)},
                                    {"IOProviderClass", "IOPCIDevice"},
                                    {"model", "Intel Corporation Cannon Lake PCH USB 3.1 xHCI Host Controller"}}));

    const QVariantMap ports = all.value("iMac18,3-XHC2").toMap();
    EXPECT_EQ(ports.value("IONameMatch"), "XHC2");
    EXPECT_EQ(ports.value("IOProviderClass"), "AppleUSBXHCIPCI");
    EXPECT_EQ(ports.value("IOClass"), "AppleUSBHostMergeProperties");
    EXPECT_EQ(ports.value("IOProbeScore"), qint64(5000));
    EXPECT_EQ(ports.value("model"), "iMac18,3");
    const QVariantMap merge = ports.value("IOProviderMergeProperties").toMap();
    EXPECT_EQ(merge.value("kUSBMuxEnabled"), true);
    EXPECT_EQ(merge.value("kUSBSleepPowerSupply"), qint64(5100));
    EXPECT_EQ(merge.value("ports").toMap().value("HS01"),
              (QVariantMap{{"UsbConnector", qint64(3)}, {"name", "HS01"}, {"port", littleEndianBytes(1)}, {"usb-port-number", littleEndianBytes(1)},
                           {"usb-port-type", qint64(3)}}));
}

TEST(PortwrightInfo, NamesPersonalitiesByClassVendorAndModel)
{
    USBScanResult scan;
    scan.controllers = {controller("", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}),
                        controller("XHC0", 0x1b36, 0x000d, {port("HS01", littleEndianBytes(1))}),
                        controller("XHC5", 0x1b73, 0x1100)};
    const QVariantMap all = personalities(scan);
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCIPCI FrescoLogic_1B73_1100", "AppleUSBXHCIPCI Vendor1B36_1B36_000D",
                                       "AppleUSBXHCISPT Intel_8086_A36D", "Mac-USB_8086_a36d", "Mac-XHC0"}));
    EXPECT_EQ(all.value("Mac-USB_8086_a36d").toMap().value("IONameMatch"), "");
    EXPECT_EQ(all.value("AppleUSBXHCIPCI Vendor1B36_1B36_000D").toMap().value("model"), "1B36:000D");
    EXPECT_EQ(controllerVendorName(0x1022), "AMD");
    EXPECT_EQ(controllerVendorName(0x1912), "Renesas");
}

TEST(PortwrightInfo, CountsPortsByTheHighestNumberAndLeavesOutUnnumberedPorts)
{
    USBScanResult scan;
    scan.controllers = {controller("XHC1", 0x8086, 0xa36d,
                                   {port("SS01", littleEndianBytes(17)), port("HS02", littleEndianBytes(2)), port("HS01", littleEndianBytes(1)),
                                    port("HS03", QByteArray()), port("HS04", littleEndianBytes(0))})};
    const QVariantMap merge = mergeOf(personalities(scan), "Mac-XHC1");
    EXPECT_EQ(merge.value("port-count").toByteArray(), QByteArray::fromHex("11000000"));
    EXPECT_EQ(merge.value("ports").toMap().keys(), QStringList({"HS01", "HS02", "SS01"}));

    // Every port is in the report, sorted by number, the empty one with nothing after "port=".
    const QStringList lines = reportLines(scan);
    const qsizetype count = lines.indexOf("  Ports: 5");
    ASSERT_GE(count, 0);
    EXPECT_EQ(lines.mid(count + 1, 5), QStringList({"  HS03@14000003  port=  UsbConnector=3",
                                                    "  HS04@14000004  port=00000000  UsbConnector=3",
                                                    "  HS01@14000001  port=01000000  UsbConnector=3",
                                                    "  HS02@14000002  port=02000000  UsbConnector=3",
                                                    "  SS01@14000001  port=11000000  UsbConnector=3"}));

    // Without any usable number the count is the number of listed ports.
    scan.controllers = {controller("XHC1", 0x1b21, 0x2142, {port("HS01", QByteArray()), port("HS02", littleEndianBytes(0))})};
    EXPECT_EQ(mergeOf(personalities(scan), "Mac-XHC1").value("port-count").toByteArray(), QByteArray::fromHex("02000000"));
    EXPECT_TRUE(mergeOf(personalities(scan), "Mac-XHC1").value("ports").toMap().isEmpty());
}

TEST(PortwrightInfo, FallsBackToPortTemplatesOrToTheSupportPersonalityAlone)
{
    USBScanResult scan;
    scan.controllers = {controller("XHC", 0x8086, 0xa36d), controller("PXSX", 0x1b21, 0x2142),
                        controller("BAD", 0, 0x2142, {port("HS01", littleEndianBytes(1))})};
    const QVariantMap all = personalities(scan);
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCIPCI ASMedia_1B21_2142", "AppleUSBXHCISPT Intel_8086_A36D", "Mac-XHC"}));
    const QVariantMap merge = mergeOf(all, "Mac-XHC");
    EXPECT_EQ(merge.value("port-count").toByteArray(), QByteArray::fromHex("1a000000"));
    EXPECT_EQ(merge.value("ports").toMap().size(), 24);
    EXPECT_EQ(merge.value("ports").toMap().value("SS10").toMap().value("port").toByteArray(), littleEndianBytes(26));

    const QStringList lines = reportLines(scan);
    EXPECT_TRUE(lines.contains("  Ports: 24 generated from internal controller template fallback."));
    EXPECT_TRUE(lines.contains("  HS01@template  port=01000000  UsbConnector=3"));
    EXPECT_TRUE(lines.contains("  Ports: 0 - support personality only; no usable USB port tree or fallback template was "
                               "available during collection."));
    // The controller without an identity gets no personality but is still reported.
    EXPECT_TRUE(lines.contains("Controller: BAD@14000000"));
    EXPECT_TRUE(lines.contains("  PCI ID: 0000:2142"));
}

TEST(PortwrightReport, DescribesEachControllerInABlock)
{
    USBScanResult scan;
    scan.controllers = {controller("XHC1", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1), 255, "Bluetooth USB Host Controller")},
                                   "AppleUSBXHCISPT")};
    const QString report = portwrightReport(scan);
    EXPECT_TRUE(report.startsWith("Portwright.kext generated automatically.\n"));
    EXPECT_TRUE(report.endsWith("\n\nController: XHC1@14000000\n"
                                "  PCI ID: 8086:a36d\n"
                                "  Provider Class: AppleUSBXHCISPT\n"
                                "  Match: IONameMatch=XHC1 IOPCIPrimaryMatch=0xa36d8086\n"
                                "  Ports: 1\n"
                                "  HS01@14000001  port=01000000  UsbConnector=255 active=Bluetooth USB Host Controller\n"));
    EXPECT_EQ(report.count('\n'), 17);
}

class PortwrightFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        work = dir.filePath("Wörk 'quoted' \"folder\"");
        QDir().mkpath(work);
    }
    QString bundlePath() const { return work + "/Portwright.kext"; }
    QString infoPath() const { return bundlePath() + "/Contents/Info.plist"; }
    QString reportPath() const { return work + "/Portwright-report.txt"; }

    static USBScanResult oneController()
    {
        USBScanResult scan;
        scan.controllers = {controller("XHC1", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1)), port("SS01", littleEndianBytes(17))},
                                       "AppleUSBXHCISPT")};
        return scan;
    }

    QTemporaryDir dir;
    QString work;
    LibplistPropertyListService plists;
};

TEST_F(PortwrightFiles, WritesOnlyTheFourLineReportWhenNothingWasFound)
{
    writeFile(infoPath(), "old bundle");
    writePortwrightKext(USBScanResult(), "Mac", plists, work);
    EXPECT_EQ(readText(reportPath()),
              "Portwright.kext was not generated.\n"
              "Reason: no USB XHCI controllers or ports were found through the native IOKit scanner.\n"
              "The app does not call the host /usr/sbin/ioreg command. USB generation uses live IOKit data and does not "
              "use a saved .ioreg file.\n"
              "The ZIP was completed without USB configuration data.");
    EXPECT_EQ(readFile(infoPath()), "old bundle");
}

TEST_F(PortwrightFiles, ReplacesTheBundleWithAValidStandardPropertyList)
{
    writeFile(bundlePath() + "/Contents/MacOS/Portwright", "stale executable");
    const USBScanResult scan = oneController();
    writePortwrightKext(scan, "Mac", plists, work);

    EXPECT_EQ(QDir(bundlePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"Contents"}));
    EXPECT_EQ(QDir(bundlePath() + "/Contents").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"Info.plist"}));
    EXPECT_EQ(readText(reportPath()), portwrightReport(scan));

    const QByteArray xml = readFile(infoPath());
    const QList<QByteArray> lines = xml.split('\n');
    ASSERT_GT(lines.size(), 6);
    EXPECT_EQ(lines[0], R"(<?xml version="1.0" encoding="UTF-8"?>)");
    EXPECT_EQ(lines[1], R"(<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" )"
                        R"("http://www.apple.com/DTDs/PropertyList-1.0.dtd">)");
    EXPECT_EQ(lines[2], R"(<plist version="1.0">)");
    EXPECT_EQ(lines[3], "<dict>");
    EXPECT_EQ(lines[4], "\t<key>CFBundleDevelopmentRegion</key>");
    EXPECT_TRUE(xml.endsWith("</dict>\n</plist>\n"));

    // Read back by libplist, the file holds exactly the dictionary that was meant.
    EXPECT_EQ(testing::readPlistDictionary(xml), portwrightInfoDictionary(scan, "Mac"));
}

TEST_F(PortwrightFiles, PlistutilAcceptsAndRoundTripsTheInfoPlist)
{
    const QString plistutil = QStringLiteral("/usr/bin/plistutil");
    if (!QFile::exists(plistutil))
        GTEST_SKIP() << "plistutil (libplist-utils) is not installed";
    writePortwrightKext(oneController(), "Mac", plists, work);
    const QString binary = dir.filePath("Info.bin");
    const QString again = dir.filePath("Info-again.plist");
    runProcess(plistutil, {"-i", infoPath(), "-o", binary}, std::nullopt, 30);
    runProcess(plistutil, {"-i", binary, "-o", again}, std::nullopt, 30);
    EXPECT_TRUE(readFile(binary).startsWith("bplist00"));
    EXPECT_EQ(readFile(again), readFile(infoPath()));
}

// A property-list service whose writer or reader misbehaves.
class BrokenPlists : public PropertyListService {
public:
    explicit BrokenPlists(QByteArray xml) : m_xml(std::move(xml)) {}
    bool convertToXmlInPlace(const QString&) override { return false; }
    std::optional<QString> validationError(const QString& path) override { return m_real.validationError(path); }
    QByteArray serializeXml(const QVariantMap&) override { return m_xml; }

private:
    QByteArray m_xml;
    LibplistPropertyListService m_real;
};

TEST_F(PortwrightFiles, FailsNamingTheFileWhenThePropertyListDoesNotValidate)
{
    BrokenPlists truncated("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>");
    try {
        writePortwrightKext(oneController(), "Mac", truncated, work);
        FAIL() << "an invalid Info.plist passed";
    } catch (const CollectorError& error) {
        EXPECT_TRUE(error.description().contains(infoPath())) << error.description().toStdString();
        EXPECT_TRUE(error.description().contains("not a valid property list")) << error.description().toStdString();
    }
    EXPECT_FALSE(QFile::exists(reportPath()));

    BrokenPlists empty{QByteArray()};
    EXPECT_THROW(writePortwrightKext(oneController(), "Mac", empty, work), CollectorError);
}

TEST_F(PortwrightFiles, FailsWhenTheBundleOrReportCannotBeWritten)
{
    const QString notAFolder = dir.filePath("file");
    writeFile(notAFolder, "x");
    EXPECT_THROW(writePortwrightKext(oneController(), "Mac", plists, notAFolder), VelkorError);

    QDir().mkpath(reportPath()); // a folder where the report belongs
    EXPECT_THROW(writePortwrightKext(oneController(), "Mac", plists, work), VelkorError);
    EXPECT_TRUE(QFile::exists(infoPath()));
}

TEST(MachineModel, ComesFromThePlatformNode)
{
    testing::TestRegistry built;
    EXPECT_EQ(machineModelFromRegistry(*built.registry()), "Mac");
    auto platform = testing::TestRegistry::add(built.root, "iMac18,3", "IOPlatformExpertDevice",
                                                  {{"model", QByteArray("iMac18,3\0", 9)}});
    EXPECT_EQ(machineModelFromRegistry(*built.registry()), "iMac18,3");
    platform->properties["model"] = QByteArray("\0", 1);
    EXPECT_EQ(machineModelFromRegistry(*built.registry()), "Mac");

    testing::TestRegistry other;
    testing::TestRegistry::add(other.root, "Board", "SomePlatform", {{"model", " Standard PC (Q35 + ICH9, 2009) "}});
    EXPECT_EQ(machineModelFromRegistry(*other.registry()), "Standard PC (Q35 + ICH9, 2009)");
}

class RecordingLog : public LogSink {
public:
    void log(const QString& message) override { lines.append(message); }
    QStringList lines;
};

TEST(PortwrightStep, ScansThePlatformRegistry)
{
    testing::TestEnvironment environment;
    RecordingLog log;
    const QString work = environment.path("work");
    QDir().mkpath(work);

    StepContext withoutRegistry{log, environment.platform};
    generatePortwrightKext(withoutRegistry, work);
    EXPECT_TRUE(readText(work + "/Portwright-report.txt").startsWith("Portwright.kext was not generated.\n"));

    testing::TestRegistry built;
    testing::TestRegistry::add(built.root, "Q35", "IOPlatformExpertDevice", {{"model", QByteArray("Q35\0", 4)}});
    auto pci = built.pciController("XHC1", 0x1b36, 0x000d);
    testing::TestRegistry::port(testing::TestRegistry::driver(pci, "XHC1", "AppleUSBXHCIPCI", 0x14000000), "HS01",
                                   {{"port", littleEndianBytes(7)}});
    testing::TestRegistry::port(testing::TestRegistry::driver(built.pciController("XHC2", 0x1b36, 0x000e), "XHC2",
                                                              "AppleUSBXHCIPCI", 0x15000000),
                                "HS01", {{"port", littleEndianBytes(1)}, {"port-number-source", "inferred"}});
    environment.platform.registry = built.registry();
    writeFile(environment.toolsFolder() + "/usb.ids", "1b36  Red Hat, Inc.\n\t000d  QEMU XHCI Host Controller\n");
    StepContext context{log, environment.platform};
    generatePortwrightKext(context, work);

    const auto info = testing::readPlistDictionary(readFile(work + "/Portwright.kext/Contents/Info.plist"));
    ASSERT_TRUE(info.has_value());
    const QVariantMap all = info->value("IOKitPersonalities").toMap();
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCIPCI Vendor1B36_1B36_000D", "AppleUSBXHCIPCI Vendor1B36_1B36_000E",
                                       "Q35-XHC1", "Q35-XHC2"}));
    EXPECT_EQ(all.value("AppleUSBXHCIPCI Vendor1B36_1B36_000D").toMap().value("model"),
              "Red Hat, Inc. QEMU XHCI Host Controller");
    EXPECT_TRUE(readText(work + "/Portwright-report.txt").contains("  HS01@00000007  port=07000000  UsbConnector=3\n"));
    // Guessed port numbers: one warning, naming the controller.
    EXPECT_EQ(log.lines.filter("WARNING").size(), 1);
    EXPECT_TRUE(log.lines.filter("WARNING").value(0).contains("controller XHC2@15000000 (1b36:000e)")) << log.lines.join('\n').toStdString();
}

} // namespace
} // namespace velkor
