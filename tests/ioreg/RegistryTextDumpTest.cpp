#include "ioreg/RegistryTextDump.h"

#include "base/CollectorError.h"
#include "steps/StepContext.h"
#include "registry/TreeRegistry.h"
#include "registry/IoregTextLoader.h"
#include "support/RecordingLog.h"
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
                              {{"vendor-id", bytes({0x86, 0x80, 0, 0})}, {"device-id", bytes({0x2f, 0xa1, 0, 0})},
                               {"class-code", bytes({0x30, 0x03, 0x0c, 0x00})}, {"subsystem-id", bytes({0x70, 0x72, 0, 0})},
                               {"compatible", nulTerminated({"pci8086,7270", "pci8086,a12f", "pciclass,0c0330"})},
                               {"name", nulTerminated({"pci8086,a12f"})}, {"IOName", "pci8086,a12f"},
                               {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/XHC1@140000"}});
    auto driver = pci->addChild(kIOServicePlane, "XHC1", "AppleUSBXHCISPT",
                                {{"CFBundleIdentifier", "com.apple.driver.usb.AppleUSBXHCIPCI"}, {"IOClass", "AppleUSBXHCISPT"},
                                 {"IOProviderClass", "IOPCIDevice"}, {"IOProbeScore", qint64(1000)}, {"IOPCIPrimaryMatch", "0xa12f8086"},
                                 {"IOPCITunnelCompatible", true}, {"IOPCIPauseCompatible", false}, {"locationID", qint64(335544320)},
                                 {"IOPowerManagement", QVariantMap{{"MaxPowerState", qint64(3)}, {"CurrentPowerState", qint64(3)},
                                                                   {"CapabilityFlags", qint64(32768)}, {"DriverPowerState", qint64(0)}}},
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
    EXPECT_TRUE(lines.contains(QString(46, ' ') + "+- d23"));
    EXPECT_TRUE(lines.contains(QString(48, ' ') + "+- d24"));
    EXPECT_TRUE(lines.contains(QString(48, ' ') + "+- d30"));
    EXPECT_EQ(lines.last(), QString(48, ' ') + "    | port = p");
}

// Text cleaned and cut at 240 characters (never inside one), numbers, booleans, lists and
// sorted dictionaries of at most 12 keys, data as short text or hex of at most 48 bytes.
TEST(RegistryValueRendering, EachValueTypeHasItsShortForm)
{
    QVariantMap fourteen;
    for (int i = 0; i < 14; ++i)
        fourteen.insert(QString("k%1").arg(i, 2, 10, QChar('0')), i == 3 ? QVariant(QString()) : QVariant(qint64(i)));
    QVariant shallow = "core"; // nested 200 deep: rendered
    for (int level = 0; level < 200; ++level)
        shallow = QVariantList{shallow};
    QVariant deep = "core"; // nested beyond 256 levels: empty instead of a stack without bound
    for (int level = 0; level < 300; ++level)
        deep = level % 2 ? QVariant(QVariantList{deep}) : QVariant(QVariantMap{{"k", deep}});
    const QByteArray binary(200, char(0x81));
    const QString accented = QString(239, 'x') + QStringLiteral("e\u0301");
    const std::pair<QVariant, QString> cases[] = {
        {QString::fromUtf8("  a\0b\r\nc\t ", 11), "ab  c"}, {QString(240, 'x'), QString(240, 'x')},
        {QString(241, 'x'), QString(240, 'x') + "..."}, {accented + "y", accented + "..."}, {QVariant(), ""},
        {qint64(-7), "-7"}, {quint64(18446744073709551615ULL), "18446744073709551615"}, {true, "1"}, {false, "0"},
        {QVariantList{}, ""}, {QVariantList{"", " \n"}, ""}, {QVariantList{"a", "", qint64(2), QVariantList{"b", "c"}}, "a, 2, b, c"},
        {QVariantList(100, QString(10, 'z')), QString("zzzzzzzzzz, ").repeated(20).left(240) + "..."},
        {fourteen, "k00: 0; k01: 1; k02: 2; k04: 4; k05: 5; k06: 6; k07: 7; k08: 8; k09: 9; k10: 10; k11: 11"},
        {QVariantMap{{"b", "2"}, {"B", "1"}, {"a", QVariantMap{{"x", true}}}}, "B: 1; a: x: 1; b: 2"},
        {shallow, "core"}, {deep, ""},
        {QByteArray("ab\0\0", 4), "ab"}, {bytes({0x2f, 0xa1, 0x00, 0x00}), "<2fa10000>"}, {bytes({0x31, 0x01}), "<3101>"},
        {QByteArray("a\tb"), "<610962>"}, {QByteArray("caf\xc3\xa9"), "<636166c3a9>"}, {QByteArray(4, '\0'), "<00000000>"},
        {QByteArray(), "<>"}, {QByteArray(150, 'k'), QString(96, 'k')}, // text from the first 96 bytes only
        {QByteArray(95, 'k') + "\xc3\xa9", "<" + QString("6b").repeated(48) + "...>"}, // a character cut at byte 96
        {binary, "<" + QString("81").repeated(48) + "...>"}, {binary.left(48), "<" + QString("81").repeated(48) + ">"},
    };
    for (const auto& [value, rendered] : cases)
        EXPECT_EQ(renderedRegistryValue(value), rendered) << value.toString().left(60).toStdString();
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
    testing::RecordingLog log;
    Platform platform;
    StepContext context{log, platform};
    for (const auto& write : std::initializer_list<std::function<void()>>{[&] { writeFallbackIORegText(TreeRegistry(nullptr), destination); },
                                                                          [&] { writeFallbackIORegTextStep(context, destination); }}) {
        try {
            write();
            ADD_FAILURE() << "a registry without a root entry must throw";
        } catch (const CollectorError& error) {
            EXPECT_EQ(error.description(), "Could not open IORegistry root entry for ioreg.txt fallback.");
        }
        EXPECT_FALSE(QFileInfo::exists(destination));
    }
    platform.registry = std::make_shared<TreeRegistry>(root);
    writeFallbackIORegTextStep(context, destination);
    EXPECT_TRUE(readText(destination).endsWith("\n+- IORegistryEntry"));
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
