#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QtEndian>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>

using namespace velkor;
using namespace velkor::testing;

namespace {

std::shared_ptr<TreeRegistry> loadFixture(const QString& name)
{
    return loadIoregTextFile(testData(QStringLiteral("registry/") + name));
}

const TreeRegistryNode& named(const TreeRegistry& registry, const QString& name, const QString& location = {},
                              const QString& className = {})
{
    const TreeRegistryNode* node = findNamed(*registry.root(), kIOServicePlane, name, location, className);
    if (!node)
        throw std::runtime_error(("no entry " + name + "@" + location).toStdString());
    return *node;
}

QByteArray bytes(std::initializer_list<unsigned char> values)
{
    QByteArray result;
    for (const unsigned char value : values)
        result.append(static_cast<char>(value));
    return result;
}

} // namespace

TEST(IoregTextLoader, LoadsTheIMacRegistryWithItsTypedValues)
{
    const auto registry = loadFixture(QStringLiteral("imac18-3-ioreg.txt"));
    const TreeRegistryNode& root = *registry->root();
    EXPECT_EQ(root.name, QStringLiteral("Root"));
    EXPECT_EQ(root.className, QStringLiteral("IORegistryEntry"));
    EXPECT_EQ(allNodes(root, kIOServicePlane).size(), 840u); // the file's "+-o" lines
    EXPECT_EQ(root.properties.value(QStringLiteral("OSPrelinkKextCount")), QVariant::fromValue<qint64>(304));

    const TreeRegistryNode& platform = *root.serviceChildren.at(0);
    EXPECT_EQ(platform.name, QStringLiteral("iMac18,3"));
    EXPECT_EQ(platform.className, QStringLiteral("IOPlatformExpertDevice"));
    EXPECT_EQ(platform.properties.value(QStringLiteral("model")).toByteArray(), QByteArray("iMac18,3"));
    EXPECT_EQ(platform.properties.value(QStringLiteral("clock-frequency")).toByteArray(), bytes({0x00, 0xe1, 0xf5, 0x05}));

    // The Intel controller's driver node, one of its Type-C ports and an internal port.
    const TreeRegistryNode& xhc1 = named(*registry, QStringLiteral("XHC1"), QStringLiteral("14000000"));
    EXPECT_EQ(xhc1.className, QStringLiteral("AppleUSBXHCISPT"));
    EXPECT_EQ(xhc1.properties.value(QStringLiteral("locationID")), QVariant::fromValue<qint64>(335544320));
    EXPECT_EQ(xhc1.properties.value(QStringLiteral("IOPCITunnelCompatible")).typeId(), QMetaType::Bool);
    EXPECT_TRUE(xhc1.properties.value(QStringLiteral("IOPCITunnelCompatible")).toBool());
    EXPECT_EQ(xhc1.properties.value(QStringLiteral("UsbCompanionSS")).toList(), QVariantList{QStringLiteral("XHC2")});
    const TreeRegistryNode& hs13 = named(*registry, QStringLiteral("HS13"), QStringLiteral("14700000"));
    EXPECT_EQ(hs13.className, QStringLiteral("AppleUSB20XHCITypeCPort"));
    EXPECT_EQ(hs13.properties.value(QStringLiteral("port")).toByteArray(), bytes({0x0d, 0, 0, 0}));
    EXPECT_EQ(hs13.properties.value(QStringLiteral("UsbConnector")), QVariant::fromValue<qint64>(9));
    const TreeRegistryNode& hs05 = named(*registry, QStringLiteral("HS05"), QStringLiteral("14400000"));
    EXPECT_EQ(hs05.properties.value(QStringLiteral("UsbConnector")), QVariant::fromValue<qint64>(255));
    EXPECT_EQ(hs05.serviceChildren.at(0)->name, QStringLiteral("FaceTime HD Camera (Built-in)"));
    EXPECT_EQ(named(*registry, QStringLiteral("XHC2"), QStringLiteral("00000000")).className, QStringLiteral("AppleUSBXHCIAR"));

    // A name holding " | ", quotes inside a string, a string over several lines: forms the table
    // below also reads, here at the places a real listing puts them.
    EXPECT_NE(findNamed(root, kIOServicePlane, QStringLiteral("E-MU 0404 | USB"), QStringLiteral("14310000")), nullptr);
    const TreeRegistryNode& airport = named(*registry, QStringLiteral("AirPort_BrcmNIC"));
    EXPECT_EQ(airport.properties.value(QStringLiteral("IO80211Family.BuildTagGit")).toString(), QStringLiteral("\"AirPortFamily_kexts-1340\""));
    const TreeRegistryNode* hardware = findNode(root, kIOServicePlane, [](const TreeRegistryNode& node) {
        return node.properties.value(QStringLiteral("IO80211HardwareVersion")).toString().endsWith(QStringLiteral("bus: 0x1\n"));
    });
    EXPECT_NE(hardware, nullptr);
}

TEST(IoregTextLoader, LoadsTheMacBookProWithItsAcpiTables)
{
    const auto registry = loadFixture(QStringLiteral("macbookpro11-2-ioreg.txt"));
    EXPECT_EQ(allNodes(*registry->root(), kIOServicePlane).size(), 514u);
    const TreeRegistryNode* holder = findNode(*registry->root(), kIOServicePlane, [](const TreeRegistryNode& node) {
        return node.properties.contains(QStringLiteral("ACPI Tables"));
    });
    ASSERT_NE(holder, nullptr);
    const QVariantMap tables = holder->properties.value(QStringLiteral("ACPI Tables")).toMap();
    EXPECT_EQ(tables.size(), 19);
    const QByteArray dsdt = tables.value(QStringLiteral("DSDT")).toByteArray();
    EXPECT_EQ(dsdt.size(), 27628);
    EXPECT_TRUE(dsdt.startsWith("DSDT"));
    EXPECT_EQ(qFromLittleEndian<quint32>(dsdt.constData() + 4), 27628u);
    EXPECT_TRUE(tables.value(QStringLiteral("SSDT-8")).toByteArray().startsWith("SSDT"));
    EXPECT_NE(findNode(*registry->root(), kIOServicePlane, [](const TreeRegistryNode& node) { return node.className == QStringLiteral("AppleUSBXHCI"); }),
              nullptr);
    EXPECT_EQ(registry->root()->serviceChildren.at(0)->properties.value(QStringLiteral("IOPlatformSerialNumber")).toString(),
              QStringLiteral("C02N42J7G3QC"));
}

// One registry holding every form real `ioreg -l` files hold, as properties of the root (keys
// "p00"...), and entry lines of the forms entries take.
TEST(IoregTextLoader, ReadsEveryFormOfSavedRegistries)
{
    const QByteArray longHex = QByteArray(450000, '\x5a').toHex();
    const struct {
        const char* what;
        QByteArray value;
        QVariant expected;
    } forms[] = {
        {"text", "\"IOCommand is not serializable\"", QStringLiteral("IOCommand is not serializable")},
        {"empty text", "\"\"", QString(QLatin1String(""))},
        {"quotes inside", "\"\"AirPort\" 2.0 \"x\"\"", QStringLiteral("\"AirPort\" 2.0 \"x\"")},
        {"line feeds", "\"vendorid: 0x14e4\ndeviceid: 0x43ba\n\n  | indented\n\"", QStringLiteral("vendorid: 0x14e4\ndeviceid: 0x43ba\n\n  | indented\n")},
        {"Mac OS Roman", "\"J\x9Frgen\xD5s Mac\"", QStringLiteral("J\u00fcrgen\u2019s Mac")},
        {"largest number", "18446744073709551615", QVariant::fromValue<quint64>(std::numeric_limits<quint64>::max())},
        {"number", "9223372036854775807", QVariant::fromValue<qint64>(std::numeric_limits<qint64>::max())},
        {"zero", "0", QVariant::fromValue<qint64>(0)},
        {"yes", "Yes", QVariant(true)},
        {"no", "No", QVariant(false)},
        {"hex data", "<00e1f505>", bytes({0x00, 0xe1, 0xf5, 0x05})},
        {"empty data", "<>", QByteArray()},
        {"hand-masked data", "<a**********c>", QByteArray("a**********c")},
        {"quoted data", "<\"iMac18,3\">", QByteArray("iMac18,3")},
        {"quoted texts", "<\"pci8086,7270\",\"pciclass,0c0330\",\"XHC1\">", QByteArray("pci8086,7270\0pciclass,0c0330\0XHC1", 33)},
        {"MAC address as text", "<\"|mbq\xfcK\">", QByteArray("|mbq\xfcK")},
        {"XML as data", "<\"<dict ID=\"0\"><key>CH</key><integer size=\"32\">0xb</integer></dict>\">",
         QByteArray("<dict ID=\"0\"><key>CH</key><integer size=\"32\">0xb</integer></dict>")},
        {"texts with commas, brackets, quotes", "<\"a,b>c\",\"d\"\">", QByteArray("a,b>c\0d\"", 8)},
        {"array", "(1,\"x, y)\",<00ff>,Yes)",
         QVariantList{QVariant::fromValue<qint64>(1), QStringLiteral("x, y)"), bytes({0x00, 0xff}), true}},
        {"empty array", "()", QVariantList()},
        {"dictionary", "{\"k\"=1,\"j\"=\"v\"}", QVariantMap{{"k", QVariant::fromValue<qint64>(1)}, {"j", QStringLiteral("v")}}},
        {"empty dictionary", "{}", QVariantMap()},
        {"values left out", "{\"DeviceName\"=,\"Serial\"=}", QVariantMap{{"DeviceName", QString()}, {"Serial", QString()}}},
        {"set", "[\"com.apple.driver.AppleMultiFunctionManager\",\"com.apple.iokit.IO80211Family\"]",
         QVariantList{QStringLiteral("com.apple.driver.AppleMultiFunctionManager"), QStringLiteral("com.apple.iokit.IO80211Family")}},
        {"empty set", "[]", QVariantList()},
        {"nested", "({\"a\"=[<\"x\">,(2,{})]},[{\"b\"=(\"c)\")}])",
         QVariantList{QVariantMap{{"a", QVariantList{QByteArray("x"), QVariantList{QVariant::fromValue<qint64>(2), QVariantMap()}}}},
                      QVariantList{QVariantMap{{"b", QVariantList{QStringLiteral("c)")}}}}}},
        {"quoted data in containers", "{\"Battery\"=<\"<dict ID=\"0\">\">,\"list\"=(<\"a\",\"b\">)}",
         QVariantMap{{"Battery", QByteArray("<dict ID=\"0\">")}, {"list", QVariantList{QByteArray("a\0b", 3)}}}},
        {"text over lines in an array", "(\"one\ntwo\",\"three\")", QVariantList{QStringLiteral("one\ntwo"), QStringLiteral("three")}},
        {"a 900 KB line", "<" + longHex + ">", QByteArray(450000, '\x5a')},
    };
    QByteArray text = "+-o Root  <class IORegistryEntry, id 0x100000100, retain 11>\n  | {\n";
    int index = 0;
    for (const auto& form : forms)
        text += "  |   \"p" + QByteArray::number(index++).rightJustified(2, '0') + "\" = " + form.value + "\n";
    text += "  | }\n"
            "  | \n"
            "  +-o Root's child (1), with blanks@1,2  <class IOService, id 0x100000101, registered, matched, active, busy 0 (12 ms), retain 7>\n"
            "  | | {\n"
            "  | | }\n"
            "  | | \n"
            "  | +-o Gr\xC3\xBC\xC3\x9F""e-Ger\xC3\xA4t  <class AppleUSBDevice, id 0x100000102, !registered, !matched, active, busy 0, retain 5>\n"
            "  |     {\n"
            "  |     }\n"
            "  |     \n"
            "  +-o second@x@3  <class IOACPIPlatformDevice, id 0x100000103>\n"
            "      {\n"
            "      }\n"
            "      \n";

    const auto registry = loadIoregText(text, QStringLiteral("forms"));
    const QVariantMap& properties = registry->root()->properties;
    index = 0;
    for (const auto& form : forms) {
        const QString key = QStringLiteral("p%1").arg(index++, 2, 10, QLatin1Char('0'));
        TreeRegistryNode expected;
        expected.properties.insert(key, form.expected);
        TreeRegistryNode actual;
        actual.properties.insert(key, properties.value(key));
        EXPECT_EQ(treeDifference(expected, kIOServicePlane, actual, kIOServicePlane), QString()) << form.what;
    }
    const auto& children = registry->root()->serviceChildren;
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->name, QStringLiteral("Root's child (1), with blanks"));
    EXPECT_EQ(children[0]->location, QStringLiteral("1,2"));
    EXPECT_EQ(children[0]->className, QStringLiteral("IOService"));
    EXPECT_EQ(children[0]->serviceChildren.at(0)->name, QStringLiteral("Gr\u00fc\u00dfe-Ger\u00e4t"));
    EXPECT_EQ(children[0]->serviceChildren.at(0)->className, QStringLiteral("AppleUSBDevice"));
    EXPECT_EQ(children[1]->name, QStringLiteral("second@x"));
    EXPECT_EQ(children[1]->location, QStringLiteral("3"));

    // A byte-order mark and CRLF line ends change nothing; the printer's text loads back the same.
    const auto crlf = loadIoregText("\xEF\xBB\xBF" + QByteArray(text).replace("\n", "\r\n"), QStringLiteral("crlf"));
    EXPECT_EQ(treeDifference(*registry->root(), kIOServicePlane, *crlf->root(), kIOServicePlane), QString());
    const auto printed = loadIoregText(printIoregText(*registry, kIOServicePlane).toUtf8(), QStringLiteral("printed"));
    EXPECT_EQ(treeDifference(*registry->root(), kIOServicePlane, *printed->root(), kIOServicePlane), QString());
}

TEST(IoregTextLoader, RejectsMalformedAndWronglySavedTextWithTheFileAndLine)
{
    const QByteArray head = "+-o Root  <class R>\n    {\n";
    const QByteArray tail = "    }\n    \n";
    // A listing whose lines a terminal cut at 80 columns.
    QByteArray cut = head;
    for (int property = 0; property < 4; ++property)
        cut += "      \"IOKitDiagnostics" + QByteArray::number(property) + "\" = {\"Container allocation\"=7005282,\"Instance allocation\"=12347152}\n";
    cut += tail;
    QByteArray cutLines;
    for (const QByteArray& line : cut.split('\n'))
        cutLines += line.left(80) + '\n';
    cutLines.chop(1);

    const struct {
        QByteArray text;
        int line;
        const char* reason;
    } cases[] = {
        {"", 1, "no registry entry"},
        {"just words\n", 1, "unexpected text"},
        {head + "      \"a\" = {\"k\"=1\n" + tail, 3, "unterminated dictionary"},
        {head + "      \"a\" = (1,2\n" + tail, 3, "unterminated array"},
        {head + "      \"a\" = [1,2\n" + tail, 3, "unterminated set"},
        {head + "      \"a\" = <00ff\n" + tail, 3, "closing \">\""},
        {head + "      \"a\" = <12zz>\n" + tail, 3, "neither hexadecimal nor masked"},
        {head + "      \"a\" = <abc>\n" + tail, 3, "odd number of hexadecimal digits"},
        {head + "      \"a\" = <\"a\",1>\n" + tail, 3, "text in data without its closing quote"},
        {head + "      \"a\" = Maybe\n" + tail, 3, "unrecognized value"},
        {head + "      \"a\" = 18446744073709551616\n" + tail, 3, "out of range"},
        {head + "      \"a\" = 1 2\n" + tail, 3, "unexpected text after the value"},
        {head + "      \"a\" = (1 2)\n" + tail, 3, "expected \",\" or \")\""},
        {head + "      \"a\" = {k=1}\n" + tail, 3, "quoted key"},
        {head + "      \"a\" = (1,,2)\n" + tail, 3, "value is missing"},
        {head + "      \"a\" = \"open\n" + tail, 3, "no closing quote: it would take in line 4, the end of the property block"},
        {head + "      \"a\" = \"open\n      \"b\" = 1\n" + tail, 3, "it would take in line 4, a property line"},
        {head + "      \"a\" = (\"open\n" + tail, 3, "no closing quote"},
        {head + "      \"a\" = \"open\nmore text\n", 3, "the file ends inside it"},
        {head + "      \"a\" 1\n" + tail, 3, "without \" = \""},
        {head + "  +-o Child  <class C>\n", 3, "is not closed"},
        {head, 2, "is not closed (the file ends inside it)"},
        {head + "      \"a\" = 12", 3, "the last line is cut off"},
        {"+-o Root  <class R>\n  |   \"a\" = 1\n", 2, "property line outside a property block"},
        {"+-o Root  <class R>\n  }\n", 2, "without an open property block"},
        {"+-o Root  <class R>\n      {\n", 2, "not drawn below its entry"},
        {"+-o Root  <class R>\n  | {\n  | }\n| +-o Child  <class C>\n", 4, "does not match its parent's"},
        {head + tail + "    +-o Deep  <class D>\n", 5, "more than one level below"},
        {head + tail + "+-o Again  <class R>\n", 5, "second root"},
        {"+-o Root without class\n", 1, "<class"},
        {"  +-o Child  <class C>\n", 1, "before the root"},
        {head + "      \"a\" = " + QByteArray(300, '(') + "\n", 3, "nested more than 256"},
        {"+-o Root  <class R>\n  +-o Child  <class C>\n", 1, "no property blocks: save the registry with `ioreg -l -w0`"},
        {"+-o Root  <class R>\n  | {\n  | }\n  | \n  +-o Child  <class C>\n", 5, "without its property block"},
        {cutLines, 3, "the lines are cut at 80 columns: save with `ioreg -l -w0`"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n", 1, "the XML that `ioreg -a` prints"},
        {"+-o Root  <class R>\r    {\r    }\r", 1, "CR alone"},
        {QByteArray("\xFF\xFE+\0-\0o\0", 8), 1, "UTF-16"},
    };
    for (const auto& malformed : cases) {
        try {
            loadIoregText(malformed.text, QStringLiteral("saved.txt"));
            ADD_FAILURE() << "accepted: " << malformed.text.left(200).toStdString();
        } catch (const RegistryFormatError& error) {
            const QString expectedStart = QStringLiteral("saved.txt:%1: ").arg(malformed.line);
            EXPECT_TRUE(error.description().startsWith(expectedStart)) << error.description().toStdString();
            EXPECT_TRUE(error.description().contains(QString::fromUtf8(malformed.reason))) << error.description().toStdString();
            EXPECT_EQ(error.line(), malformed.line) << malformed.reason;
        }
    }
}

TEST(IoregTextLoader, FileErrorsNameTheFile)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("n\u00e4me with \"quotes\".txt"));
    try {
        loadIoregTextFile(missing);
        ADD_FAILURE() << "a missing file loaded";
    } catch (const PlatformError& error) {
        EXPECT_TRUE(error.description().contains(missing)) << error.description().toStdString();
    }
    writeFile(missing, "+-o Root  <class R>\n  | {\n  |   \"a\" = (1\n");
    try {
        loadIoregTextFile(missing);
        ADD_FAILURE() << "malformed file loaded";
    } catch (const RegistryFormatError& error) {
        EXPECT_TRUE(error.description().startsWith(missing + QStringLiteral(":3: "))) << error.description().toStdString();
    }
}
