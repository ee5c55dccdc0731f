#include "kext/PortwrightKext.h"

#include "base/CollectorError.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "registry/RegistryProperties.h"
#include "registry/RegistryTestSupport.h"

#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {


using testing::readFile;
using testing::readText;
using testing::writeFile;
using R = testing::TestRegistry;

USBPortMap port(const QString& name, const QByteArray& data)
{
    USBPortMap map;
    map.name = name;
    map.location = QStringLiteral("1400000") + name.right(1);
    map.connector = 3;
    map.portData = data;
    return map;
}

USBControllerMap controller(const QString& name, qint64 vendor, qint64 device, QList<USBPortMap> ports = {})
{
    USBControllerMap map;
    map.name = name;
    map.location = QStringLiteral("14000000");
    map.vendorID = vendor;
    map.deviceID = device;
    map.ports = std::move(ports);
    return map;
}

QVariantMap personalities(const QList<USBControllerMap>& controllers)
{
    USBScanResult scan;
    scan.controllers = controllers;
    return portwrightInfoDictionary(scan, "Mac").value("IOKitPersonalities").toMap();
}

QVariantMap mergeOf(const QVariantMap& all, const QString& name)
{
    return all.value(name).toMap().value("IOProviderMergeProperties").toMap();
}

QStringList reportLines(const QList<USBControllerMap>& controllers)
{
    USBScanResult scan;
    scan.controllers = controllers;
    return portwrightReport(scan).split('\n');
}

// One support personality per PCI identity, named by class, vendor and IDs; one port
// personality per controller, named by the model and the controller's name.
TEST(PortwrightInfo, NamesPersonalitiesByClassVendorAndModel)
{
    const QVariantMap all = personalities({controller("XHC1", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}),
                                           controller("XHC2", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}),
                                           controller("", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}),
                                           controller("XHC0", 0x1b36, 0x000d, {port("HS01", littleEndianBytes(1))}), controller("XHC5", 0x1b73, 0x1100)});
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCIPCI FrescoLogic_1B73_1100", "AppleUSBXHCIPCI Vendor1B36_1B36_000D",
                                       "AppleUSBXHCISPT Intel_8086_A36D", "Mac-USB_8086_a36d", "Mac-XHC0", "Mac-XHC1", "Mac-XHC2"}));
    EXPECT_EQ(all.value("Mac-USB_8086_a36d").toMap().value("IONameMatch"), "");
    EXPECT_EQ(all.value("AppleUSBXHCIPCI Vendor1B36_1B36_000D").toMap().value("model"), "1B36:000D");
    EXPECT_EQ(controllerVendorName(0x1022), "AMD");
    EXPECT_EQ(controllerVendorName(0x1912), "Renesas");
}

TEST(PortwrightInfo, CountsPortsByTheHighestNumberAndLeavesOutUnnumberedPorts)
{
    const QList<USBControllerMap> controllers{controller("XHC1", 0x8086, 0xa36d, {port("SS01", littleEndianBytes(17)), port("HS02", littleEndianBytes(2)),
                                              port("HS01", littleEndianBytes(1)), port("HS03", QByteArray()), port("HS04", littleEndianBytes(0))})};
    const QVariantMap merge = mergeOf(personalities(controllers), "Mac-XHC1");
    EXPECT_EQ(merge.value("port-count").toByteArray(), QByteArray::fromHex("11000000"));
    EXPECT_EQ(merge.value("ports").toMap().keys(), QStringList({"HS01", "HS02", "SS01"}));
    EXPECT_EQ(merge.value("ports").toMap().value("SS01").toMap().value("usb-port-number").toByteArray(), QByteArray::fromHex("11000000"));
    // Every port is in the report, sorted by number, the empty one with nothing after "port=".
    const QStringList lines = reportLines(controllers);
    const qsizetype count = lines.indexOf("  Ports: 5");
    ASSERT_GE(count, 0);
    EXPECT_EQ(lines.mid(count + 1, 5), QStringList({"  HS03@14000003  port=  UsbConnector=3", "  HS04@14000004  port=00000000  UsbConnector=3",
                                                    "  HS01@14000001  port=01000000  UsbConnector=3", "  HS02@14000002  port=02000000  UsbConnector=3",
                                                    "  SS01@14000001  port=11000000  UsbConnector=3"}));
    // Without any usable number the count is the number of listed ports.
    const QVariantMap none = mergeOf(personalities({controller("XHC1", 0x1b21, 0x2142, {port("HS01", QByteArray()), port("HS02", littleEndianBytes(0))})}), "Mac-XHC1");
    EXPECT_EQ(none.value("port-count").toByteArray(), QByteArray::fromHex("02000000"));
    EXPECT_TRUE(none.value("ports").toMap().isEmpty());
}

TEST(PortwrightInfo, FallsBackToPortTemplatesOrToTheSupportPersonalityAlone)
{
    const QList<USBControllerMap> controllers{controller("XHC", 0x8086, 0xa36d), controller("PXSX", 0x1b21, 0x2142),
                                              controller("BAD", 0, 0x2142, {port("HS01", littleEndianBytes(1))})};
    const QVariantMap all = personalities(controllers);
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCIPCI ASMedia_1B21_2142", "AppleUSBXHCISPT Intel_8086_A36D", "Mac-XHC"}));
    const QVariantMap merge = mergeOf(all, "Mac-XHC");
    EXPECT_EQ(merge.value("port-count").toByteArray(), QByteArray::fromHex("1a000000"));
    EXPECT_EQ(merge.value("ports").toMap().size(), 24);
    EXPECT_EQ(merge.value("ports").toMap().value("SS10").toMap().value("port").toByteArray(), QByteArray::fromHex("1a000000"));

    const QStringList lines = reportLines(controllers);
    for (const char* line : {"  Ports: 24 generated from internal controller template fallback.", "  HS01@template  port=01000000  UsbConnector=3",
                             "  Ports: 0 - support personality only; no usable USB port tree or fallback template was available during collection.",
                             "Controller: BAD@14000000", "  PCI ID: 0000:2142"}) // no identity: no personality, but reported
        EXPECT_TRUE(lines.contains(line)) << line;
}

// A property-list service whose writer gives what it is told.
class BrokenPlists : public LibplistPropertyListService {
public:
    explicit BrokenPlists(QByteArray xml) : m_xml(std::move(xml)) {}
    QByteArray serializeXml(const QVariantMap&) override { return m_xml; }

private:
    QByteArray m_xml;
};

TEST(PortwrightFiles, WritesTheBundleAndReportOrOnlyTheReasonOrFailsNamingTheFile)
{
    QTemporaryDir dir;
    const QString work = dir.filePath("Wörk 'quoted' \"folder\"");
    const QString info = work + "/Portwright.kext/Contents/Info.plist";
    writeFile(info, "old bundle");
    LibplistPropertyListService plists;
    writePortwrightKext(USBScanResult(), "Mac", plists, work);
    EXPECT_EQ(readText(work + "/Portwright-report.txt"),
              "Portwright.kext was not generated.\n"
              "Reason: no USB XHCI controllers or ports were found through the native IOKit scanner.\n"
              "The app does not call the host /usr/sbin/ioreg command. USB generation uses live IOKit data and does not "
              "use a saved .ioreg file.\n"
              "The ZIP was completed without USB configuration data.");
    EXPECT_EQ(readFile(info), "old bundle");

    USBScanResult scan;
    scan.controllers = {controller("XHC1", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))})};
    writeFile(work + "/Portwright.kext/Contents/MacOS/Portwright", "stale executable");
    writePortwrightKext(scan, "Mac", plists, work);
    EXPECT_EQ(testing::filesBelow(work + "/Portwright.kext"), QStringList{info});
    EXPECT_TRUE(readFile(info).startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
    EXPECT_EQ(readText(work + "/Portwright-report.txt"), portwrightReport(scan));

    QFile::remove(work + "/Portwright-report.txt");
    BrokenPlists truncated("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>");
    try {
        writePortwrightKext(scan, "Mac", truncated, work);
        ADD_FAILURE() << "an invalid Info.plist passed";
    } catch (const CollectorError& error) {
        EXPECT_TRUE(error.description().contains(info) && error.description().contains("not a valid property list"))
            << error.description().toStdString();
    }
    BrokenPlists empty{QByteArray()};
    EXPECT_THROW(writePortwrightKext(scan, "Mac", empty, work), CollectorError);
    EXPECT_FALSE(QFile::exists(work + "/Portwright-report.txt"));
}

TEST(PortwrightStep, ScansThePlatformRegistryAndTakesItsModel)
{
    R built;
    EXPECT_EQ(machineModelFromRegistry(*built.registry()), "Mac");
    auto platform = R::add(built.root, "Q35", "IOPlatformExpertDevice", {{"model", QByteArray("\0", 1)}});
    EXPECT_EQ(machineModelFromRegistry(*built.registry()), "Mac");
    R other;
    R::add(other.root, "Board", "SomePlatform", {{"model", " Standard PC (Q35 + ICH9, 2009) "}});
    EXPECT_EQ(machineModelFromRegistry(*other.registry()), "Standard PC (Q35 + ICH9, 2009)");

    testing::StepFixture f;
    generatePortwrightKext(f.ctx, f.work());
    EXPECT_TRUE(readText(f.work() + "/Portwright-report.txt").startsWith("Portwright.kext was not generated.\n"));

    platform->properties["model"] = QByteArray("Q35\0", 4);
    R::port(R::driver(built.pciController("XHC1", 0x1b36, 0x000d), "XHC1", "AppleUSBXHCIPCI", 0x14000000), "HS01", {{"port", littleEndianBytes(7)}});
    R::port(R::driver(built.pciController("XHC2", 0x1b36, 0x000e), "XHC2", "AppleUSBXHCIPCI", 0x15000000), "HS01",
            {{"port", littleEndianBytes(1)}, {"port-number-source", "inferred"}});
    f.env.platform.registry = built.registry();
    writeFile(f.env.toolsFolder() + "/usb.ids", "1b36  Red Hat, Inc.\n\t000d  QEMU XHCI Host Controller\n");
    generatePortwrightKext(f.ctx, f.work());
    const QString info = readText(f.work() + "/Portwright.kext/Contents/Info.plist");
    for (const char* shown : {"<key>Q35-XHC1</key>", "<key>AppleUSBXHCIPCI Vendor1B36_1B36_000D</key>", "<string>Red Hat, Inc. QEMU XHCI Host Controller</string>"})
        EXPECT_TRUE(info.contains(shown)) << shown;
    EXPECT_TRUE(readText(f.work() + "/Portwright-report.txt").contains("  HS01@00000007  port=07000000  UsbConnector=3\n"));
    // Guessed port numbers: one warning, naming the controller.
    EXPECT_EQ(f.log.lines.filter("WARNING").size(), 1);
    EXPECT_TRUE(f.log.lines.filter("WARNING").value(0).contains("controller XHC2@15000000 (1b36:000e)")) << f.log.lines.join('\n').toStdString();
}

} // namespace
} // namespace velkor
