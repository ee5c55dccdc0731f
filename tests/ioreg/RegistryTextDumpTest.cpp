#include "ioreg/RegistryTextDump.h"

#include "registry/IoregTextLoader.h"
#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

static QString render(const Registry& registry)
{
    const QTemporaryDir folder;
    writeFallbackIORegText(registry, folder.filePath("ioreg.txt"), QDateTime(QDate(2026, 12, 5), QTime(7, 44, 31), Qt::UTC));
    return readText(folder.filePath("ioreg.txt"));
}

// Named by the first non-empty name key, whitelisted properties in the whitelist's order, empty
// values left out; the walk stops after 12 000 entries and says so; indentation stops at 48 spaces.
TEST(RegistryTextDump, ListsEntriesWithTheirWhitelistedPropertiesWithinItsBounds)
{
    const Node root = entry("Root");
    auto pci = TestRegistry::add(root, "XHC1", "IOPCIDevice", {{"IOName", ""}, {"name", QByteArray("pci8086,a12f\0", 13)},
        {"vendor-id", QByteArray::fromHex("86800000")}, {"subsystem-id", QByteArray("pr\0\0", 4)}, {"acpi-path", "IOACPIPlane:/_SB"},
        {"compatible", QByteArray("pci8086,7270\0pciclass,0c0330\0", 29)}});
    auto driver = TestRegistry::add(pci, "XHC1", "AppleUSBXHCISPT", {{"CFBundleIdentifier", "com.apple.driver.usb.AppleUSBXHCIPCI"},
        {"IOClass", "AppleUSBXHCISPT"}, {"IOPowerManagement", QVariantMap{{"MaxPowerState", qint64(3)}, {"CapabilityFlags", qint64(32768)}}},
        {"IOPCIPauseCompatible", false}, {"IOProbeScore", qint64(1000)}, {"kUSBSleepSupported", true}});
    TestRegistry::add(driver, "HS02", "AppleUSB20XHCIPort", {{"UsbConnector", qint64(3)}, {"port", QByteArray::fromHex("02000000")},
        {"usb-port-type", QVariantList{}}, {"port-count", QVariantList{"", QString()}}, {"name", "HS02"}});
    TestRegistry::add(root, "AppleACPIPlatformExpert", "AppleACPIPlatformExpert", {{"IOClass", ""}});
    EXPECT_EQ(render(TreeRegistry(root)), QStringLiteral(
        "Velkor native IORegistry text fallback\nGenerated: 2026-12-05 07:44:31 +0000\n"
        "Source: live IOKit IORegistry. This app generates ioreg.txt directly and does not save .ioreg.\n"
        "Sensitive values are redacted before packaging.\n\n+- IORegistryEntry\n"
        "  +- pci8086,a12f\n      | name = pci8086,a12f\n      | compatible = pci8086,7270pciclass,0c0330\n      | vendor-id = <86800000>\n"
        "      | subsystem-id = pr\n    +- com.apple.driver.usb.AppleUSBXHCIPCI <AppleUSBXHCISPT>\n        | IOClass = AppleUSBXHCISPT\n"
        "        | IOProbeScore = 1000\n        | IOPowerManagement = CapabilityFlags: 32768; MaxPowerState: 3\n        | IOPCIPauseCompatible = 0\n"
        "      +- HS02\n          | name = HS02\n          | port = <02000000>\n          | UsbConnector = 3\n  +- IORegistryEntry"));

    const Node wide = entry("Root"); // 12 000 entries fit the budget; the 12 001st is left out, and said so
    for (int i = 1; i < 12000; ++i)
        TestRegistry::add(wide, {}, {}, {{"IOName", QString("dev%1").arg(i)}});
    const QString whole = render(TreeRegistry(wide));
    EXPECT_TRUE(whole.count("+- ") == 12000 && whole.endsWith("+- dev11999\n      | IOName = dev11999")) << whole.right(100).toStdString();
    TestRegistry::add(wide, {}, {}, {{"IOName", "dev12000"}});
    EXPECT_EQ(render(TreeRegistry(wide)), whole + "\n\n[Output truncated to keep the diagnostic package small]");
    Node tip = root;
    for (int depth = 1; depth <= 30; ++depth)
        tip = TestRegistry::add(tip, {}, {}, {{"IOName", QString("d%1").arg(depth)}});
    const QString deep = render(TreeRegistry(root)), at46 = '\n' + QString(46, ' '), at48 = '\n' + QString(48, ' ');
    EXPECT_TRUE(deep.contains(at46 + "+- d23\n") && deep.contains(at48 + "+- d24\n") && deep.endsWith(at48 + "+- d30" + at48 + "    | IOName = d30"));
}

// Text cleaned and cut at 240 characters (never inside one), lists, dictionaries of at most 12 keys, data as short text or hex.
TEST(RegistryTextDump, EachValueTypeHasItsShortForm)
{
    QVariantMap fourteen;
    for (int i = 0; i < 14; ++i)
        fourteen.insert(QString("k%1").arg(i, 2, 10, QChar('0')), i == 3 ? QVariant(QString()) : QVariant(qint64(i)));
    QVariant shallow = "core", deep = "core"; // nested 200 deep: rendered; beyond 256 levels: empty, the stack bounded
    for (int level = 0; level < 300; ++level) {
        shallow = level < 200 ? QVariant(QVariantList{shallow}) : shallow;
        deep = level % 2 ? QVariant(QVariantList{deep}) : QVariant(QVariantMap{{"k", deep}});
    }
    const QByteArray binary(200, char(0x81));
    const QString accented = QString(239, 'x') + QStringLiteral("e\u0301");
    const std::pair<QVariant, QString> cases[] = {
        {QString::fromUtf8("  a\0b\r\nc\t ", 11), "ab  c"}, {QString(240, 'x'), QString(240, 'x')}, {QString(241, 'x'), QString(240, 'x') + "..."},
        {accented + "y", accented + "..."}, {QVariant(), ""}, {qint64(-7), "-7"}, {quint64(18446744073709551615ULL), "18446744073709551615"},
        {true, "1"}, {QVariantList{}, ""}, {QVariantList{"", " \n"}, ""}, {QVariantList{"a", "", qint64(2), QVariantList{"b", "c"}}, "a, 2, b, c"},
        {QVariantList(100, QString(10, 'z')), QString("zzzzzzzzzz, ").repeated(20).left(240) + "..."},
        {fourteen, "k00: 0; k01: 1; k02: 2; k04: 4; k05: 5; k06: 6; k07: 7; k08: 8; k09: 9; k10: 10; k11: 11"},
        {QVariantMap{{"b", "2"}, {"B", "1"}, {"a", QVariantMap{{"x", true}}}}, "B: 1; a: x: 1; b: 2"}, {shallow, "core"}, {deep, ""},
        {QByteArray("a\tb"), "<610962>"}, {QByteArray("caf\xc3\xa9"), "<636166c3a9>"}, {QByteArray(4, '\0'), "<00000000>"}, {QByteArray(), "<>"},
        {QByteArray(150, 'k'), QString(96, 'k')}, {QByteArray(95, 'k') + "\xc3\xa9", "<" + QString("6b").repeated(48) + "...>"}, // 96 bytes, uncut
        {binary, "<" + QString("81").repeated(48) + "...>"}, {binary.left(48), "<" + QString("81").repeated(48) + ">"},
    };
    for (const auto& [value, rendered] : cases)
        EXPECT_EQ(renderedRegistryValue(value), rendered) << value.toString().left(60).toStdString();
}

// The step writes the platform's registry masked (the serial number, also as hex, UUIDs, MAC
// addresses); without a root entry it throws and writes nothing.
TEST(RegistryTextDump, TheStepWritesTheListingMaskedOrNothing)
{
    StepFixture f;
    const QString destination = f.work() + "/ioreg.txt";
    try { writeFallbackIORegText(TreeRegistry(nullptr), destination); ADD_FAILURE() << "no root entry passed"; } catch (const CollectorError& error) {
        EXPECT_EQ(error.description(), "Could not open IORegistry root entry for ioreg.txt fallback.");
    }
    EXPECT_THROW(writeFallbackIORegTextStep(f.ctx, destination), CollectorError); // a platform without a registry
    EXPECT_TRUE(QDir(f.work()).isEmpty());

    const auto registry = loadIoregTextFile(testData("registry/macbookpro11-2-ioreg.txt"));
    TestRegistry::add(registry->root(), {}, {}, {{"IOName", "disk 40AB9C30-EF7B-5A82-AD83-AC2DEB2526B5"},
                                                 {"IONameMatch", QVariantList{"en0", "00:1b:63:84:45:e6"}}});
    f.env.platform.registry = registry;
    writeFallbackIORegTextStep(f.ctx, destination);
    const QString text = readText(destination);
    EXPECT_TRUE(text.count("+- ") == 515 && !text.contains("[Output truncated") && text.contains("<AppleUSBXHCI>")) << text.count("+- ");
    EXPECT_TRUE(text.contains("+- disk XX-MASKED-UUID\n") && text.contains("| IONameMatch = en0, XX:XX:XX:XX:XX:XX")) << text.toStdString();
    static const QRegularExpression uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}", QRegularExpression::CaseInsensitiveOption);
    EXPECT_FALSE(uuid.match(text).hasMatch()) << uuid.match(text).captured().toStdString();
    for (const char* known : {"C02N42J7G3QC", "4330324e34324a3747335143", "40AB9C30", "7CDE73AA", "EAFB430C", "C36A224C", "00:1b:63"})
        EXPECT_FALSE(text.contains(known, Qt::CaseInsensitive)) << known;
}
