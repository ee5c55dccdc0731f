#include "ioreg/RegistryTextDump.h"

#include "base/CollectorError.h"
#include "steps/StepContext.h"
#include "registry/TreeRegistry.h"
#include "registry/IoregTextLoader.h"
#include "support/TestFiles.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace velkor {
namespace {

using testing::readText;
using testing::testData;

const QDateTime kGenerated(QDate(2026, 12, 5), QTime(7, 44, 31), Qt::UTC);

const QString kHeader = QStringLiteral(
    "Velkor native IORegistry text fallback\n"
    "Generated: 2026-12-05 07:44:31 +0000\n"
    "Source: live IOKit IORegistry. This app generates ioreg.txt directly and does not save .ioreg.\n"
    "Sensitive values are redacted before packaging.\n"
    "\n");
const QString kTruncation = QStringLiteral("[Output truncated to keep the diagnostic package small]");

QByteArray bytes(std::initializer_list<unsigned char> values)
{
    QByteArray result;
    for (unsigned char value : values)
        result.append(char(value));
    return result;
}

// Strings each followed by a NUL, as the registry keeps a "compatible" list.
QByteArray nulTerminated(std::initializer_list<const char*> strings)
{
    QByteArray result;
    for (const char* text : strings)
        result.append(text).append('\0');
    return result;
}

class CollectingLog : public LogSink {
public:
    void log(const QString& message) override { lines.append(message); }
    QStringList lines;
};

class RegistryTextDumpTest : public ::testing::Test {
protected:
    QString render(const Registry& registry)
    {
        const QString destination = folder.filePath("ioreg.txt");
        writeFallbackIORegText(registry, destination, kGenerated);
        return readText(destination);
    }
    QStringList entryLines(const QString& text)
    {
        QStringList found;
        for (const QString& line : text.split('\n'))
            if (line.trimmed().startsWith("+- "))
                found.append(line);
        return found;
    }

    QTemporaryDir folder;
    std::shared_ptr<TreeRegistryNode> root = std::make_shared<TreeRegistryNode>();
};

TEST_F(RegistryTextDumpTest, ListsEntriesWithTheirWhitelistedPropertiesInOrder)
{
    root->properties = {{"IOKitBuildVersion", "Darwin Kernel Version 17.0.0"}, {"IORegistryPlanes", QVariantMap{{"IOService", "IOService"}}}};
    auto pci = root->addChild(kIOServicePlane, "XHC1", "IOPCIDevice",
                              {{"vendor-id", bytes({0x86, 0x80, 0, 0})},
                               {"device-id", bytes({0x2f, 0xa1, 0, 0})},
                               {"class-code", bytes({0x30, 0x03, 0x0c, 0x00})},
                               {"subsystem-id", bytes({0x70, 0x72, 0, 0})},
                               {"compatible", nulTerminated({"pci8086,7270", "pci8086,a12f", "pciclass,0c0330"})},
                               {"name", nulTerminated({"pci8086,a12f"})},
                               {"IOName", "pci8086,a12f"},
                               {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/XHC1@140000"}});
    auto driver = pci->addChild(kIOServicePlane, "XHC1", "AppleUSBXHCISPT",
                                {{"CFBundleIdentifier", "com.apple.driver.usb.AppleUSBXHCIPCI"},
                                 {"IOClass", "AppleUSBXHCISPT"},
                                 {"IOProviderClass", "IOPCIDevice"},
                                 {"IOProbeScore", qint64(1000)},
                                 {"IOPCIPrimaryMatch", "0xa12f8086"},
                                 {"IOPCITunnelCompatible", true},
                                 {"IOPCIPauseCompatible", false},
                                 {"locationID", qint64(335544320)},
                                 {"IOPowerManagement", QVariantMap{{"MaxPowerState", qint64(3)},
                                                                   {"CurrentPowerState", qint64(3)},
                                                                   {"CapabilityFlags", qint64(32768)},
                                                                   {"DriverPowerState", qint64(0)}}},
                                 {"kUSBSleepSupported", true}});
    driver->addChild(kIOServicePlane, "HS02", "AppleUSB20XHCIPort",
                     {{"UsbConnector", qint64(3)}, {"port", bytes({0x02, 0, 0, 0})}, {"name", "HS02"},
                      {"usb-port-type", QVariantList{}}, {"port-count", QVariantList{"", QString()}}});
    root->addChild(kIOServicePlane, "AppleACPIPlatformExpert", "AppleACPIPlatformExpert", {{"IOClass", ""}});

    const QString expected = kHeader + QStringLiteral(
        "+- IORegistryEntry\n"
        "  +- pci8086,a12f\n"
        "      | IOName = pci8086,a12f\n"
        "      | name = pci8086,a12f\n"
        "      | compatible = pci8086,7270pci8086,a12fpciclass,0c0330\n"
        "      | device-id = <2fa10000>\n"
        "      | vendor-id = <86800000>\n"
        "      | subsystem-id = pr\n"
        "      | class-code = <30030c00>\n"
        "    +- com.apple.driver.usb.AppleUSBXHCIPCI <AppleUSBXHCISPT>\n"
        "        | IOProviderClass = IOPCIDevice\n"
        "        | IOClass = AppleUSBXHCISPT\n"
        "        | IOProbeScore = 1000\n"
        "        | IOPCIPrimaryMatch = 0xa12f8086\n"
        "        | locationID = 335544320\n"
        "        | IOPowerManagement = CapabilityFlags: 32768; CurrentPowerState: 3; DriverPowerState: 0; MaxPowerState: 3\n"
        "        | IOPCITunnelCompatible = 1\n"
        "        | IOPCIPauseCompatible = 0\n"
        "      +- HS02\n"
        "          | name = HS02\n"
        "          | port = <02000000>\n"
        "          | UsbConnector = 3\n"
        "  +- IORegistryEntry");
    EXPECT_EQ(render(TreeRegistry(root)), expected);
}

TEST_F(RegistryTextDumpTest, StopsAfterTwelveThousandEntriesAndSaysSo)
{
    // 11999 entries: all listed, no truncation note.
    for (int i = 1; i < 11999; ++i)
        root->addChild(kIOServicePlane, {}, {}, {{"IOName", QString("dev%1").arg(i)}});
    QString text = render(TreeRegistry(root));
    EXPECT_EQ(entryLines(text).size(), 11999);
    EXPECT_TRUE(text.endsWith("+- dev11998\n      | IOName = dev11998")) << text.right(80).toStdString();
    EXPECT_FALSE(text.contains(kTruncation));

    // 12000 entries use the whole budget: the note follows after an empty line.
    root->addChild(kIOServicePlane, {}, {}, {{"IOName", "dev11999"}});
    text = render(TreeRegistry(root));
    EXPECT_EQ(entryLines(text).size(), 12000);
    EXPECT_TRUE(text.endsWith("  +- dev11999\n      | IOName = dev11999\n\n" + kTruncation)) << text.right(80).toStdString();

    // Entries beyond the budget are left out.
    root->addChild(kIOServicePlane, {}, {}, {{"IOName", "dev12000"}});
    text = render(TreeRegistry(root));
    EXPECT_EQ(entryLines(text).size(), 12000);
    EXPECT_FALSE(text.contains("dev12000"));
}

TEST_F(RegistryTextDumpTest, IndentationStopsGrowingAt48Spaces)
{
    TreeRegistryNode* node = root.get();
    for (int depth = 1; depth <= 30; ++depth)
        node = node->addChild(kIOServicePlane, {}, {}, {{"IOName", QString("d%1").arg(depth)}, {"port", "p"}}).get();

    const QStringList lines = render(TreeRegistry(root)).split('\n');
    const auto lineOf = [&lines](const QString& name) {
        for (const QString& line : lines)
            if (line.endsWith("+- " + name))
                return line;
        return QString();
    };
    EXPECT_EQ(lineOf("d23"), QString(46, ' ') + "+- d23");
    EXPECT_EQ(lineOf("d24"), QString(48, ' ') + "+- d24");
    EXPECT_EQ(lineOf("d30"), QString(48, ' ') + "+- d30");
    EXPECT_TRUE(lines.contains(QString(48, ' ') + "    | port = p"));
}

TEST(RegistryValueRendering, CleansAndLimitsText)
{
    EXPECT_EQ(renderedRegistryValue(QString::fromUtf8("  a\0b\r\nc\t ", 11)), "ab  c");
    EXPECT_EQ(renderedRegistryValue(QString(240, 'x')), QString(240, 'x'));
    EXPECT_EQ(renderedRegistryValue(QString(241, 'x')), QString(240, 'x') + "...");
    // A letter with its combining accent is one character and is never split.
    const QString accented = QString(239, 'x') + QStringLiteral("e\u0301") + "y";
    EXPECT_EQ(renderedRegistryValue(accented), QString(239, 'x') + QStringLiteral("e\u0301") + "...");
    EXPECT_EQ(renderedRegistryValue(QVariant()), "");
}

TEST(RegistryValueRendering, NumbersBooleansListsAndDictionaries)
{
    EXPECT_EQ(renderedRegistryValue(qint64(-7)), "-7");
    EXPECT_EQ(renderedRegistryValue(quint64(18446744073709551615ULL)), "18446744073709551615");
    EXPECT_EQ(renderedRegistryValue(true), "1");
    EXPECT_EQ(renderedRegistryValue(false), "0");

    EXPECT_EQ(renderedRegistryValue(QVariantList{}), "");
    EXPECT_EQ(renderedRegistryValue(QVariantList{"", " \n"}), "");
    EXPECT_EQ(renderedRegistryValue(QVariantList{"a", "", qint64(2), QVariantList{"b", "c"}}), "a, 2, b, c");
    EXPECT_EQ(renderedRegistryValue(QVariantList(100, QString(10, 'z'))).size(), 243);

    // Sorted keys; at most 12 of them, and an empty value still takes its place among the 12.
    QVariantMap dictionary;
    for (int i = 0; i < 14; ++i)
        dictionary.insert(QString("k%1").arg(i, 2, 10, QChar('0')), i == 3 ? QVariant(QString()) : QVariant(qint64(i)));
    EXPECT_EQ(renderedRegistryValue(dictionary),
              "k00: 0; k01: 1; k02: 2; k04: 4; k05: 5; k06: 6; k07: 7; k08: 8; k09: 9; k10: 10; k11: 11");
    EXPECT_EQ(renderedRegistryValue(QVariantMap{{"b", "2"}, {"B", "1"}, {"a", QVariantMap{{"x", true}}}}), "B: 1; a: x: 1; b: 2");
    EXPECT_EQ(renderedRegistryValue(QVariantMap{{"long", QString(300, 'v')}}).size(), 243);

    // Values nested beyond 256 levels render empty instead of growing the stack without bound.
    QVariant shallow = "core";
    for (int level = 0; level < 200; ++level)
        shallow = QVariantList{shallow};
    EXPECT_EQ(renderedRegistryValue(shallow), "core");
    QVariant deep = "core";
    for (int level = 0; level < 300; ++level)
        deep = level % 2 ? QVariant(QVariantList{deep}) : QVariant(QVariantMap{{"k", deep}});
    EXPECT_EQ(renderedRegistryValue(deep), "");
}

TEST(RegistryValueRendering, DataAsShortTextOrHex)
{
    EXPECT_EQ(renderedRegistryData(QByteArray("ab\0\0", 4)), "ab");
    EXPECT_EQ(renderedRegistryData(bytes({0x2f, 0xa1, 0x00, 0x00})), "<2fa10000>");   // not UTF-8
    EXPECT_EQ(renderedRegistryData(bytes({0x31, 0x01, 0x00, 0x00})), "<31010000>");   // control character
    EXPECT_EQ(renderedRegistryData(QByteArray("a\tb")), "<610962>");
    EXPECT_EQ(renderedRegistryData(QByteArray("caf\xc3\xa9")), "<636166c3a9>");      // not ASCII
    EXPECT_EQ(renderedRegistryData(QByteArray(4, '\0')), "<00000000>");
    EXPECT_EQ(renderedRegistryData(QByteArray()), "<>");
    // Text is read from the first 96 bytes only.
    EXPECT_EQ(renderedRegistryData(QByteArray(150, 'k')), QString(96, 'k'));
    // A character cut in half at byte 96 is not text.
    EXPECT_EQ(renderedRegistryData(QByteArray(95, 'k') + "\xc3\xa9"), "<" + QString("6b").repeated(48) + "...>");

    QByteArray binary(200, char(0x81));
    EXPECT_EQ(renderedRegistryData(binary), "<" + QString("81").repeated(48) + "...>");
    EXPECT_EQ(renderedRegistryData(binary.left(48)), "<" + QString("81").repeated(48) + ">");
    EXPECT_EQ(renderedRegistryValue(binary.left(2)), "<8181>");
}

TEST_F(RegistryTextDumpTest, MasksIdentifiersInTheWrittenFile)
{
    root->addChild(kIOServicePlane, {}, {},
                   {{"IOName", "disk 40AB9C30-EF7B-5A82-AD83-AC2DEB2526B5"}, {"IONameMatch", QVariantList{"en0", "00:1b:63:84:45:e6"}}});
    const QString text = render(TreeRegistry(root));
    EXPECT_TRUE(text.contains("+- disk XX-MASKED-UUID")) << text.toStdString();
    EXPECT_TRUE(text.contains("| IONameMatch = en0, XX:XX:XX:XX:XX:XX")) << text.toStdString();
    EXPECT_FALSE(text.contains("40AB9C30"));
    EXPECT_FALSE(text.contains("00:1b:63"));
}

TEST_F(RegistryTextDumpTest, FailuresThrowAndWriteNothing)
{
    const QString destination = folder.filePath("ioreg.txt");
    const QString message = "Could not open IORegistry root entry for ioreg.txt fallback.";
    try {
        writeFallbackIORegText(TreeRegistry(nullptr), destination);
        FAIL() << "no root entry must throw";
    } catch (const CollectorError& error) {
        EXPECT_EQ(error.description(), message);
    }
    EXPECT_FALSE(QFileInfo::exists(destination));

    CollectingLog log;
    Platform platform;
    StepContext context{log, platform};
    try {
        writeFallbackIORegTextStep(context, destination);
        FAIL() << "a platform without a registry must throw";
    } catch (const CollectorError& error) {
        EXPECT_EQ(error.description(), message);
    }
    EXPECT_FALSE(QFileInfo::exists(destination));

    platform.registry = std::make_shared<TreeRegistry>(root);
    EXPECT_THROW(writeFallbackIORegTextStep(context, folder.filePath("missing/ioreg.txt")), PlatformError);
    writeFallbackIORegTextStep(context, destination);
    EXPECT_TRUE(readText(destination).endsWith("\n+- IORegistryEntry"));
}

// The listing of the real iMac registry: its USB 3 controller, its driver and a port.
TEST_F(RegistryTextDumpTest, RendersTheIMacRegistry)
{
    const auto registry = loadIoregTextFile(testData("registry/imac18-3-ioreg.txt"));
    const QString text = render(*registry);
    EXPECT_TRUE(text.startsWith(kHeader + "+- IORegistryEntry\n  +- /\n"));

    const QString controller = QStringLiteral(
        "          +- pci8086,a12f\n"
        "              | IOName = pci8086,a12f\n"
        "              | name = pci8086,a12f\n"
        "              | compatible = pci8086,7270pci8086,a12fpciclass,0c0330XHC1\n"
        "              | device-id = <2fa10000>\n"
        "              | vendor-id = <86800000>\n"
        "              | subsystem-id = pr\n"
        "              | subsystem-vendor-id = <86800000>\n"
        "              | class-code = <30030c00>\n"
        "              | IOPowerManagement = CapabilityFlags: 258; ChildProxyPowerState: 2; ChildrenPowerState: 2; CurrentPowerState: 2; MaxPowerState: 3\n"
        "            +- XHC1 <AppleUSBXHCISPT>\n"
        "                | name = XHC1\n"
        "                | IOProviderClass = IOPCIDevice\n"
        "                | IOClass = AppleUSBXHCISPT\n"
        "                | IOProbeScore = 1000\n"
        "                | IOPCIPrimaryMatch = 0xa12f8086\n"
        "                | locationID = 335544320\n"
        "                | IOPowerManagement = CapabilityFlags: 32768; ChildrenPowerState: 3; CurrentPowerState: 3; DevicePowerState: 2; DriverPowerState: 0; MaxPowerState: 3\n"
        "                | IOPCITunnelCompatible = 1\n"
        "                | IOPCIPauseCompatible = 1\n"
        "              +- HS02\n"
        "                  | name = HS02\n"
        "                  | port = <02000000>\n"
        "                  | UsbConnector = 3\n"
        "                  | locationID = 336592896\n"
        "                  | IOPowerManagement = CapabilityFlags: 4; CurrentPowerState: 1; DevicePowerState: 1; DriverPowerState: 0; MaxPowerState: 3\n"
        "              +- HS03\n");
    EXPECT_TRUE(text.contains(controller)) << text.mid(text.indexOf("+- pci8086,a12f") - 10, 2000).toStdString();
    // Every port of the controller with its number and connector type as the registry has them.
    const struct {
        const char* name;
        const char* port;
        int connector;
    } ports[] = {{"HS02", "02", 3}, {"HS03", "03", 3}, {"HS10", "0a", 3}, {"HS13", "0d", 9},
                 {"HS14", "0e", 9}, {"SS02", "12", 3}, {"SS05", "15", 3}, {"SS06", "16", 3}};
    const QString indent(18, ' ');
    for (const auto& port : ports) {
        const QString lines = QString(14, ' ') + "+- " + port.name + "\n" + indent + "| name = " + port.name + "\n" + indent
            + "| port = <" + port.port + "000000>\n" + indent + "| UsbConnector = " + QString::number(port.connector) + "\n";
        EXPECT_TRUE(text.contains(lines)) << port.name;
    }
    EXPECT_LT(entryLines(text).size(), 12000);
    EXPECT_FALSE(text.contains(kTruncation));
}

TEST_F(RegistryTextDumpTest, TheMacBookProListingHoldsNoIdentifier)
{
    const auto registry = loadIoregTextFile(testData("registry/macbookpro11-2-ioreg.txt"));
    const QString text = render(*registry);
    EXPECT_GT(entryLines(text).size(), 500);
    EXPECT_TRUE(text.contains("<AppleUSBXHCI>"));
    EXPECT_FALSE(text.contains("C02N42J7G3QC"));
    EXPECT_FALSE(text.contains("4330324e34324a3747335143")); // the serial number as hex
    static const QRegularExpression uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}",
                                         QRegularExpression::CaseInsensitiveOption);
    EXPECT_FALSE(uuid.match(text).hasMatch()) << uuid.match(text).captured().toStdString();
    for (const char* known : {"40AB9C30", "7CDE73AA", "EAFB430C", "C36A224C"})
        EXPECT_FALSE(text.contains(known, Qt::CaseInsensitive)) << known;
}

} // namespace
} // namespace velkor
