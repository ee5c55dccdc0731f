#include "kext/ControllerNaming.h"
#include "kext/PortwrightKext.h"
#include "kext/USBControllerReports.h"

#include "base/CollectorError.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "registry/IoregTextLoader.h"
#include "registry/RegistryTestSupport.h"
#include "usb/NativeUSBTreeScanner.h"

#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;
using R = TestRegistry;

static USBPortMap port(const QString& name, const QByteArray& data, qint64 connector = 3, const QString& active = {})
{
    USBPortMap map;
    map.name = name;
    map.location = QStringLiteral("1400000") + name.right(1);
    map.connector = connector;
    map.portData = data;
    map.activeDevice = active;
    return map;
}

static USBControllerMap controller(const QString& name, qint64 vendor, qint64 device, QList<USBPortMap> ports = {}, const QString& providerClass = {})
{
    USBControllerMap map;
    map.name = name;
    map.location = QStringLiteral("14000000");
    map.vendorID = vendor;
    map.deviceID = device;
    map.ports = std::move(ports);
    map.providerClass = providerClass;
    return map;
}

TEST(ControllerNaming, DriverClassesPersonalityNamesAndPortTemplates)
{
    for (const auto& [vendor, device, found, className] : std::initializer_list<std::tuple<qint64, qint64, const char*, const char*>>{
             {0x8086, 0x8c31, "", "AppleUSBXHCILPTH"}, {0x8086, 0x9c31, "", "AppleUSBXHCILPTH"}, {0x8086, 0x8dff, "", "AppleUSBXHCILPTH"},
             {0x8086, 0x8e00, "", "AppleUSBXHCISPT"}, {0x8086, 0xa36d, "", "AppleUSBXHCISPT"}, {0x1b21, 0x2142, "", "AppleUSBXHCIPCI"},
             {0x1b21, 0x2142, " AppleUSBXHCISPT3 \n", "AppleUSBXHCISPT3"}, {0x1b21, 0x2142, "VendorDriver", "AppleUSBXHCIPCI"}})
        EXPECT_EQ(usbXHCIClassName(controller({}, vendor, device, {}, found)), className) << std::hex << device << " " << found;
    // One replacement per character, also outside the basic plane; letters there are kept.
    for (const auto& [name, sanitized] : std::initializer_list<std::pair<QString, QString>>{{"Fresco Logic", "Fresco_Logic"},
             {"Ré-seau_2.0/x", "Ré-seau_2_0_x"}, {"a\U0001F50Cb", "a_b"}, {"\U00010400", "\U00010400"}})
        EXPECT_EQ(sanitizePersonalityName(name), sanitized);
    for (const auto& [vendor, device, key] : std::initializer_list<std::tuple<qint64, qint64, const char*>>{{0x8086, 0x9cb1, "8086_9cb1"},
             {0x8086, 0x9c31, "8086_9xxx"}, {0x8086, 0x9d2f, "8086_9dxx"}, {0x8086, 0x8c31, "8086_8xxx"}, {0x8086, 0x7e7d, "8086_7exx"},
             {0x8086, 0xa36d, "8086_a36d"}, {0x8086, 0x02ed, "8086_02ed"}, {0x1b21, 0x3241, "1b21_3241"}, {0x1b21, 0x3242, nullptr},
             {0x1022, 0x43d5, nullptr}, {0x1912, 0x0015, nullptr}, {0x8086, 0x15d4, nullptr}})
        EXPECT_EQ(legacyUSBPortTemplateKey(controller({}, vendor, device)), key ? std::optional<QString>(key) : std::nullopt) << std::hex << device;
    EXPECT_TRUE(legacyUSBPortTemplatePorts(controller({}, 0x1b21, 0x3242)).isEmpty());
    EXPECT_FALSE(legacyUSBPortTemplate("8086_A36D").has_value());

    QStringList ports;
    for (const USBPortMap& port : legacyUSBPortTemplatePorts(controller({}, 0x8086, 0x1e31)))
        ports.append(QStringLiteral("%1@%2 %3 %4").arg(port.name, port.location, port.portData.toHex()).arg(port.connector)
                     + port.comment + port.activeDevice);
    EXPECT_EQ(ports, QStringList({"HS01@template 01000000 3", "HS02@template 02000000 3", "HS03@template 03000000 3",
                                  "HS04@template 04000000 3", "SS01@template 05000000 3", "SS02@template 06000000 3",
                                  "SS03@template 07000000 3", "SS04@template 08000000 3"}));
    // Counts are the table's, not the highest port; a template may skip numbers.
    const auto pch = legacyUSBPortTemplate("8086_34ed");
    EXPECT_TRUE(pch && pch->count == 18u && pch->ports.back().port == 16u);
    const auto hs = legacyUSBPortTemplate("8086_02ed")->ports;
    EXPECT_TRUE(hs[10].name == "SS01" && hs[10].port == 13u);
}

// One support personality per PCI identity, named by class, vendor and IDs; one port
// personality per controller with an identity, named by the model and the controller's name,
// counting ports by the highest number and leaving unnumbered ports out; a built-in template
// for known controllers without ports; every controller in the report.
TEST(PortwrightInfo, PersonalitiesAndReportForEveryKindOfController)
{
    const QList<USBControllerMap> controllers{
        controller("XHC1", 0x8086, 0xa36d, {port("SS01", littleEndianBytes(17)), port("HS02", littleEndianBytes(2)),
                                            port("HS01", littleEndianBytes(1)), port("HS03", QByteArray()),
                                            port("HS04", littleEndianBytes(0))}),
        controller("XHC2", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}),
        controller("", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))}),
        controller("XHC0", 0x1b36, 0x000d, {port("HS01", littleEndianBytes(1))}), controller("XHC5", 0x1b73, 0x1100),
        controller("XHC7", 0x1b21, 0x2142, {port("HS01", QByteArray()), port("HS02", littleEndianBytes(0))}),
        controller("XHC", 0x8086, 0xa36d), controller("PXSX", 0x1b21, 0x2142),
        controller("BAD", 0, 0x2142, {port("HS01", littleEndianBytes(1))})};
    const USBScanResult scan{controllers};
    const QVariantMap all = portwrightInfoDictionary(scan, "Mac").value("IOKitPersonalities").toMap();
    EXPECT_EQ(all.keys(), QStringList({"AppleUSBXHCIPCI ASMedia_1B21_2142", "AppleUSBXHCIPCI FrescoLogic_1B73_1100",
                                       "AppleUSBXHCIPCI Vendor1B36_1B36_000D", "AppleUSBXHCISPT Intel_8086_A36D",
                                       "Mac-USB_8086_a36d", "Mac-XHC", "Mac-XHC0", "Mac-XHC1", "Mac-XHC2", "Mac-XHC7"}));
    EXPECT_EQ(all.value("Mac-USB_8086_a36d").toMap().value("IONameMatch"), "");
    EXPECT_EQ(all.value("AppleUSBXHCIPCI Vendor1B36_1B36_000D").toMap().value("model"), "1B36:000D");
    EXPECT_EQ(controllerVendorName(0x1022) + controllerVendorName(0x1912), "AMDRenesas");
    const auto merge = [&](const char* name) { return all.value(name).toMap().value("IOProviderMergeProperties").toMap(); };
    EXPECT_EQ(merge("Mac-XHC1").value("port-count").toByteArray(), QByteArray::fromHex("11000000"));
    EXPECT_EQ(merge("Mac-XHC1").value("ports").toMap().keys(), QStringList({"HS01", "HS02", "SS01"}));
    EXPECT_EQ(merge("Mac-XHC1").value("ports").toMap().value("SS01").toMap().value("usb-port-number").toByteArray(), QByteArray::fromHex("11000000"));
    // Without any usable number the count is the number of listed ports.
    EXPECT_EQ(merge("Mac-XHC7").value("port-count").toByteArray(), QByteArray::fromHex("02000000"));
    EXPECT_TRUE(merge("Mac-XHC7").value("ports").toMap().isEmpty());
    EXPECT_EQ(merge("Mac-XHC").value("port-count").toByteArray(), QByteArray::fromHex("1a000000"));
    EXPECT_EQ(merge("Mac-XHC").value("ports").toMap().size(), 24);
    EXPECT_EQ(merge("Mac-XHC").value("ports").toMap().value("SS10").toMap().value("port").toByteArray(), QByteArray::fromHex("1a000000"));

    // Every port is in the report, sorted by number, the empty one with nothing after "port=".
    const QString report = portwrightReport(scan);
    for (const char* lines : {"Controller: XHC1@14000000\n",
                              "  Ports: 5\n  HS03@14000003  port=  UsbConnector=3\n  HS04@14000004  port=00000000  UsbConnector=3\n"
                              "  HS01@14000001  port=01000000  UsbConnector=3\n  HS02@14000002  port=02000000  UsbConnector=3\n"
                              "  SS01@14000001  port=11000000  UsbConnector=3\n",
                              "  Ports: 24 generated from internal controller template fallback.\n"
                              "  HS01@template  port=01000000  UsbConnector=3\n",
                              "  Ports: 0 - support personality only; no usable USB port tree or fallback template was available "
                              "during collection.\n",
                              "Controller: BAD@14000000\n", "  PCI ID: 0000:2142\n"}) // no identity: no personality, but reported
        EXPECT_TRUE(report.contains(lines)) << lines;
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
              "Portwright.kext was not generated.\nReason: no USB XHCI controllers or ports were found through the native IOKit scanner.\n"
              "The app does not call the host /usr/sbin/ioreg command. USB generation uses live IOKit data and does not use a saved .ioreg file.\n"
              "The ZIP was completed without USB configuration data.");
    EXPECT_EQ(readFile(info), "old bundle");

    const USBScanResult scan{{controller("XHC1", 0x8086, 0xa36d, {port("HS01", littleEndianBytes(1))})}};
    writeFile(work + "/Portwright.kext/Contents/MacOS/Portwright", "stale executable");
    writePortwrightKext(scan, "Mac", plists, work);
    EXPECT_EQ(filesBelow(work + "/Portwright.kext"), QStringList{info});
    EXPECT_TRUE(readFile(info).startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
    EXPECT_EQ(readText(work + "/Portwright-report.txt"), portwrightReport(scan));

    QFile::remove(work + "/Portwright-report.txt");
    BrokenPlists truncated("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"), empty{QByteArray()};
    try { writePortwrightKext(scan, "Mac", truncated, work); ADD_FAILURE() << "an invalid Info.plist passed"; }
    catch (const CollectorError& error) {
        EXPECT_TRUE(error.description().contains(info) && error.description().contains("not a valid property list"))
            << error.description().toStdString();
    }
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

    StepFixture f;
    generatePortwrightKext(f.ctx, f.work());
    EXPECT_TRUE(readText(f.work() + "/Portwright-report.txt").startsWith("Portwright.kext was not generated.\n"));

    platform->properties["model"] = QByteArray("Q35\0", 4);
    R::port(R::driver(built.pciController("XHC1", 0x1b36, 0x000d), "XHC1", "AppleUSBXHCIPCI", 0x14000000), "HS01",
            {{"port", littleEndianBytes(7)}});
    R::port(R::driver(built.pciController("XHC2", 0x1b36, 0x000e), "XHC2", "AppleUSBXHCIPCI", 0x15000000), "HS01",
            {{"port", littleEndianBytes(1)}, {"port-number-source", "inferred"}});
    f.env.platform.registry = built.registry();
    writeFile(f.env.toolsFolder() + "/usb.ids", "1b36  Red Hat, Inc.\n\t000d  QEMU XHCI Host Controller\n");
    generatePortwrightKext(f.ctx, f.work());
    const QString info = readText(f.work() + "/Portwright.kext/Contents/Info.plist");
    for (const char* shown : {"<key>Q35-XHC1</key>", "<key>AppleUSBXHCIPCI Vendor1B36_1B36_000D</key>",
                              "<string>Red Hat, Inc. QEMU XHCI Host Controller</string>"})
        EXPECT_TRUE(info.contains(shown)) << shown;
    EXPECT_TRUE(readText(f.work() + "/Portwright-report.txt").contains("  HS01@00000007  port=07000000  UsbConnector=3\n"));
    // Guessed port numbers: one warning, naming the controller.
    EXPECT_EQ(f.log.lines.filter("WARNING"),
              QStringList{"WARNING: The USB port numbers of controller XHC2@15000000 (1b36:000e) are inferred: neither its port "
                          "layout nor the firmware gives them. Check them in Portwright-report.txt before using the kext."});
}

// The whole bundle and report for the iMac18,3 registry. The golden files were checked by hand
// against the port entries of the registry listing (names, "port" data, "UsbConnector").
TEST(PortwrightGolden, IMacRegistryGivesTheRecordedBundleAndReport)
{
    const auto registry = loadIoregTextFile(testData("registry/imac18-3-ioreg.txt"));
    const AppBundle bundle = AppBundle::atBundlePath(testData("usb/bundle/Velkor.app"), "/nonexistent");
    QTemporaryDir work;
    LibplistPropertyListService plists;
    writePortwrightKext(NativeUSBTreeScanner(*registry, bundle).scan(), machineModelFromRegistry(*registry), plists, work.path());
    EXPECT_EQ(readFile(work.filePath("Portwright.kext/Contents/Info.plist")), readFile(testData("kext/imac18-3-Info.plist")));
    EXPECT_EQ(readFile(work.filePath("Portwright-report.txt")), readFile(testData("kext/imac18-3-Portwright-report.txt")));
}

TEST(PCIUSBControllersReport, ListsControllersInScanOrderWithPortsByName)
{
    USBControllerMap first = controller("XHC1", 0x8086, 0xa36d,
                                        {port("SS1", littleEndianBytes(17)), port("HS10", littleEndianBytes(10), 255, "Keyboard"),
                                         port("HS2", littleEndianBytes(2)), port("HS01", QByteArray())}, "AppleUSBXHCISPT");
    first.ioNameMatch = "pci8086,a36d";
    first.usbDeviceName = "Intel Corporation Cannon Lake PCH USB 3.1 xHCI Host Controller";
    USBControllerMap second = controller("PXSX", 0x1b21, 0x2142);
    second.location.clear();
    second.ioNameMatch = "pci1b21,2142";
    const QString head = "Velkor PCI/USB Controllers Report\nGenerated: 2026-12-05 07:57:39 +0000\n\n";
    EXPECT_EQ(pciUSBControllersReportText({{first, second}}, "2026-12-05 07:57:39 +0000"), head +
        "Controller 1: XHC1\n  PCI ID: 8086:a36d\n  IOPCIPrimaryMatch: 0xa36d8086\n  IONameMatch: pci8086,a36d\n  Provider class: AppleUSBXHCISPT\n"
        "  Location: 14000000\n  Name: Intel Corporation Cannon Lake PCH USB 3.1 xHCI Host Controller\n  Ports detected: 4\n"
        "    - HS01: connector=3, port=<>, active=none\n    - HS2: connector=3, port=<02000000>, active=none\n"
        "    - HS10: connector=255, port=<0a000000>, active=Keyboard\n    - SS1: connector=3, port=<11000000>, active=none\n\n"
        "Controller 2: PXSX\n  PCI ID: 1b21:2142\n  IOPCIPrimaryMatch: 0x21421b21\n  IONameMatch: pci1b21,2142\n  Provider class: not attached\n"
        "  Location: unknown\n  Ports detected: 0\n\n");
    EXPECT_EQ(pciUSBControllersReportText({}, "2026-12-05 07:57:39 +0000"), head + "No USB/XHCI controller detected by native IOKit scan.\n");
}

// Both reports are masked; the power report goes on past failing commands.
TEST(USBReportFiles, ControllersFromTheRegistryAndPowerFromTheCommands)
{
    StepFixture f;
    R built;
    R::device(R::port(R::driver(built.pciController("XHC1", 0x8086, 0xa36d), "XHC1", "AppleUSBXHCISPT", 0x14000000), "HS01",
                      {{"port", littleEndianBytes(1)}}), "Stick 00:11:22:33:44:55");
    f.env.platform.registry = built.registry();
    const QString to = f.env.path("Wörk 'q'/PCI-USB-Controllers.txt");
    QDir().mkpath(f.env.path("Wörk 'q'"));
    writePCIUSBControllersReport(f.ctx, to);
    EXPECT_TRUE(readText(to).contains(QRegularExpression("^Generated: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$",
                                                         QRegularExpression::MultilineOption)));
    EXPECT_TRUE(readText(to).contains("    - HS01: connector=3, port=<01000000>, active=Stick XX:XX:XX:XX:XX:XX\n")) << readText(to).toStdString();
    f.env.platform.registry.reset();
    writePCIUSBControllersReport(f.ctx, to);
    EXPECT_TRUE(readText(to).endsWith("\nNo USB/XHCI controller detected by native IOKit scan.\n"));

    CommandTable& commands = f.env.platform.commands;
    commands.usbPowerSettings = f.fake("settings", "echo 'sleep 1'\necho 'Serial Number: C02ABC123DEF'");
    commands.usbPowerAssertions = f.fake("assertions", "echo partial\nexit 3");
    commands.usbDeviceTree = f.fake("tree", "printf 'bad \\377 bytes\\n'");
    const QString power = f.env.path("USBPower.txt");
    writeUSBPowerReport(f.ctx, power);
    // Each output as it came, its own final line break included; bytes that are not UTF-8 come back as U+FFFD, with a note line.
    EXPECT_TRUE(readText(power).startsWith("Velkor USB Power Report\nGenerated: "));
    EXPECT_EQ(readText(power).section('\n', 2), "\npmset -g:\nsleep 1\nSerial Number: XX-MASKED-XX\n\n\npmset -g assertions:\n"
                                                "Failure/timeout while running "
              + commands.usbPowerAssertions.commandLine() + "\n\nSPUSBDataType:\n" + QString::fromUtf8("bad \uFFFD bytes\n")
              + "[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n\n");
    commands.usbDeviceTree = {"/nonexistent/lsusb", {"-t"}};
    writeUSBPowerReport(f.ctx, power);
    EXPECT_TRUE(readText(power).endsWith("SPUSBDataType:\nFailure/timeout while running /nonexistent/lsusb -t\n"));
}
