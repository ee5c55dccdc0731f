#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "process/ProcessRunner.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <limits>

using namespace velkor;
using namespace velkor::testing;

// One registry holding every form real `ioreg -l` files hold, as properties of the root (keys
// "p00"...), and entry lines of the forms entries take.
TEST(IoregTextLoader, ReadsEveryFormOfSavedRegistries)
{
    const QByteArray longHex = QByteArray(450000, '\x5a').toHex();
    const QVariant one = QVariant::fromValue<qint64>(1);
    const struct { QByteArray value; QVariant expected; } forms[] = {
        {"\"IOCommand is not serializable\"", QStringLiteral("IOCommand is not serializable")}, {"\"\"", QString(QLatin1String(""))},
        {"\"\"AirPort\" 2.0 \"x\"\"", QStringLiteral("\"AirPort\" 2.0 \"x\"")}, {"<\"|mbq\xfcK\">", QByteArray("|mbq\xfcK")},
        {"\"vendorid: 0x14e4\n\n  | indented\n\"", QStringLiteral("vendorid: 0x14e4\n\n  | indented\n")},
        {"\"J\x9Frgen\xD5s Mac\"", QStringLiteral("J\u00fcrgen\u2019s Mac")}, // Mac OS Roman
        {"18446744073709551615", QVariant::fromValue<quint64>(std::numeric_limits<quint64>::max())},
        {"<a**********c>", QByteArray("a**********c")},
        {"9223372036854775807", QVariant::fromValue<qint64>(std::numeric_limits<qint64>::max())},
        {"<\"iMac18,3\">", QByteArray("iMac18,3")},
        {"Yes", QVariant(true)}, {"No", QVariant(false)}, {"<00e1f505>", QByteArray::fromHex("00e1f505")}, {"<>", QByteArray()},
        {"<\"pci8086,7270\",\"pciclass,0c0330\",\"XHC1\">", QByteArray("pci8086,7270\0pciclass,0c0330\0XHC1", 33)},
        {"<\"<dict ID=\"0\"><key>CH</key></dict>\">", QByteArray("<dict ID=\"0\"><key>CH</key></dict>")},
        {"<\"a,b>c\",\"d\"\">", QByteArray("a,b>c\0d\"", 8)},
        {"(1,\"x, y)\",<00ff>,Yes)", QVariantList{one, QStringLiteral("x, y)"), QByteArray::fromHex("00ff"), true}},
        {"{\"k\"=1,\"j\"=\"v\"}", QVariantMap{{"k", one}, {"j", QStringLiteral("v")}}},
        {"{\"DeviceName\"=,\"Serial\"=}", QVariantMap{{"DeviceName", QString()}, {"Serial", QString()}}},
        {"[\"com.apple.driver.A\",\"com.apple.iokit.B\"]",
         QVariantList{QStringLiteral("com.apple.driver.A"), QStringLiteral("com.apple.iokit.B")}},
        {"({\"a\"=[<\"x\">,(2,{})]},[{\"b\"=(\"c)\")}],(),[])",
         QVariantList{QVariantMap{{"a", QVariantList{QByteArray("x"), QVariantList{QVariant::fromValue<qint64>(2), QVariantMap()}}}},
                      QVariantList{QVariantMap{{"b", QVariantList{QStringLiteral("c)")}}}}, QVariantList(), QVariantList()}},
        {"{\"Battery\"=<\"<dict ID=\"0\">\">,\"list\"=(<\"a\",\"b\">)}",
         QVariantMap{{"Battery", QByteArray("<dict ID=\"0\">")}, {"list", QVariantList{QByteArray("a\0b", 3)}}}},
        {"(\"one\ntwo\",\"three\")", QVariantList{QStringLiteral("one\ntwo"), QStringLiteral("three")}},
        {"<" + longHex + ">", QByteArray(450000, '\x5a')}, // a 900 KB line
    };
    const Node expected = entry("Root", "IORegistryEntry");
    QByteArray text = "+-o Root  <class IORegistryEntry, id 0x100000100, retain 11>\n  | {\n";
    for (const auto& form : forms) {
        const QString key = QStringLiteral("p%1").arg(expected->properties.size(), 2, 10, QLatin1Char('0'));
        expected->properties.insert(key, form.expected);
        text += "  |   \"" + key.toLatin1() + "\" = " + form.value + "\n";
    }
    text += "  | }\n  | \n"
            "  +-o Root's child (1), with blanks@1,2  <class IOService, id 0x100000101, registered, matched, active, busy 0 (12 ms), retain 7>\n"
            "  | | {\n  | | }\n  | | \n"
            "  | +-o Gr\xC3\xBC\xC3\x9F""e-Ger\xC3\xA4t  <class AppleUSBDevice, id 0x100000102, !registered, !matched, active, busy 0, retain 5>\n"
            "  |     {\n  |     }\n  |     \n"
            "  +-o second@x@3  <class IOACPIPlatformDevice, id 0x100000103>\n      {\n      }\n      \n";
    const auto registry = loadIoregText(text, QStringLiteral("forms"));
    QStringList entries;
    for (const TreeRegistryNode* node : allNodes(*registry->root(), kIOServicePlane))
        entries.append(node->name + '@' + node->location + ' ' + node->className);
    EXPECT_EQ(entries, QStringList({"Root@ IORegistryEntry", "Root's child (1), with blanks@1,2 IOService",
                                    "Gr\u00fc\u00dfe-Ger\u00e4t@ AppleUSBDevice", "second@x@3 IOACPIPlatformDevice"}));
    EXPECT_EQ(treeDifference(*expected, kIODeviceTreePlane, *registry->root(), kIODeviceTreePlane), QString()); // no children there
    // A byte-order mark and CRLF line ends change nothing; the printer's text loads back the same.
    const auto crlf = loadIoregText("\xEF\xBB\xBF" + QByteArray(text).replace("\n", "\r\n"), QStringLiteral("crlf"));
    EXPECT_EQ(treeDifference(*registry->root(), kIOServicePlane, *crlf->root(), kIOServicePlane), QString());
    const auto printed = loadIoregText(printIoregText(*registry, kIOServicePlane).toUtf8(), QStringLiteral("printed"));
    EXPECT_EQ(treeDifference(*registry->root(), kIOServicePlane, *printed->root(), kIOServicePlane), QString());
}

// Real listings: a name holding " | ", quotes inside a string, strings over several lines, the
// ACPI tables as data; each printed back loads to the same tree.
TEST(IoregTextLoader, RealListingsLoadAndPrintBackUnchanged)
{
    const auto imac = loadIoregTextFile(testData(QStringLiteral("registry/imac18-3-ioreg.txt")));
    const auto macbook = loadIoregTextFile(testData(QStringLiteral("registry/macbookpro11-2-ioreg.txt")));
    const auto withProperty = [](const TreeRegistry& registry, const char* key) {
        return findNode(*registry.root(), kIOServicePlane, [&](const TreeRegistryNode& node) { return node.properties.contains(key); });
    };
    for (const auto& [registry, entries] : {std::pair{imac, 840u}, std::pair{macbook, 514u}}) { // the files' "+-o" lines
        EXPECT_EQ(allNodes(*registry->root(), kIOServicePlane).size(), entries);
        const auto again = loadIoregText(printIoregText(*registry, kIOServicePlane).toUtf8(), QStringLiteral("printed"));
        EXPECT_EQ(treeDifference(*registry->root(), kIOServicePlane, *again->root(), kIOServicePlane), QString()) << entries;
    }
    EXPECT_NE(findNamed(*imac->root(), kIOServicePlane, QStringLiteral("E-MU 0404 | USB"), QStringLiteral("14310000")), nullptr);
    EXPECT_EQ(withProperty(*imac, "IO80211Family.BuildTagGit")->properties.value("IO80211Family.BuildTagGit"), "\"AirPortFamily_kexts-1340\"");
    const QVariantMap tables = withProperty(*macbook, "ACPI Tables")->properties.value(QStringLiteral("ACPI Tables")).toMap();
    const QByteArray dsdt = tables.value(QStringLiteral("DSDT")).toByteArray();
    EXPECT_EQ(tables.size(), 19);
    EXPECT_TRUE(dsdt.size() == 27628 && dsdt.startsWith("DSDT") && qFromLittleEndian<quint32>(dsdt.constData() + 4) == 27628u);
}

TEST(IoregTextLoader, RejectsMalformedAndWronglySavedTextWithTheFileAndLine)
{
    const QByteArray head = "+-o Root  <class R>\n    {\n";
    const QByteArray tail = "    }\n    \n";
    const auto with = [&](const QByteArray& property) { return head + "      \"a\" = " + property + "\n" + tail; };
    QByteArray cut; // a listing whose lines a terminal cut at 80 columns
    for (int property = 0; property < 4; ++property)
        cut += ("      \"IOKitDiagnostics" + QByteArray::number(property)
                + "\" = {\"Container allocation\"=7005282,\"Instance allocation\"=1}").left(80) + '\n';
    const struct { QByteArray text; int line; const char* reason; } cases[] = {
        {"", 1, "no registry entry"}, {"just words\n", 1, "unexpected text"}, {with("{\"k\"=1"), 3, "unterminated dictionary"},
        {with("(1,2"), 3, "unterminated array"}, {with("[1,2"), 3, "unterminated set"}, {with("<00ff"), 3, "closing \">\""},
        {with("<12zz>"), 3, "neither hexadecimal nor masked"}, {with("<abc>"), 3, "odd number of hexadecimal digits"},
        {with("<\"a\",1>"), 3, "text in data without its closing quote"}, {with("Maybe"), 3, "unrecognized value"},
        {with("18446744073709551616"), 3, "out of range"}, {with("1 2"), 3, "unexpected text after the value"},
        {with("(1 2)"), 3, "expected \",\" or \")\""}, {with("{k=1}"), 3, "quoted key"}, {with("(1,,2)"), 3, "value is missing"},
        {with("\"open"), 3, "no closing quote: it would take in line 4, the end of the property block"},
        {with("\"open\n      \"b\" = 1"), 3, "it would take in line 4, a property line"}, {with("(\"open"), 3, "no closing quote"},
        {head + "      \"a\" = \"open\nmore text\n", 3, "the file ends inside it"}, {head + "      \"a\" 1\n" + tail, 3, "without \" = \""},
        {head + "  +-o Child  <class C>\n", 3, "is not closed"}, {head, 2, "is not closed (the file ends inside it)"},
        {head + "      \"a\" = 12", 3, "the last line is cut off"},
        {"+-o Root  <class R>\n  |   \"a\" = 1\n", 2, "property line outside a property block"},
        {"+-o Root  <class R>\n  }\n", 2, "without an open property block"}, {"+-o Root  <class R>\n      {\n", 2, "not drawn below its entry"},
        {"+-o Root  <class R>\n  | {\n  | }\n| +-o Child  <class C>\n", 4, "does not match its parent's"},
        {head + tail + "    +-o Deep  <class D>\n", 5, "more than one level below"}, {head + tail + "+-o Again  <class R>\n", 5, "second root"},
        {"+-o Root without class\n", 1, "<class"}, {"  +-o Child  <class C>\n", 1, "before the root"},
        {with(QByteArray(300, '(')), 3, "nested more than 256"},
        {"+-o Root  <class R>\n  +-o Child  <class C>\n", 1, "no property blocks: save the registry with `ioreg -l -w0`"},
        {"+-o Root  <class R>\n  | {\n  | }\n  | \n  +-o Child  <class C>\n", 5, "without its property block"},
        {head + cut + tail, 3, "the lines are cut at 80 columns: save with `ioreg -l -w0`"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n", 1, "the XML that `ioreg -a` prints"},
        {"+-o Root  <class R>\r    {\r    }\r", 1, "CR alone"}, {QByteArray("\xFF\xFE+\0-\0o\0", 8), 1, "UTF-16"},
    };
    for (const auto& malformed : cases) {
        SCOPED_TRACE(malformed.reason);
        try { loadIoregText(malformed.text, QStringLiteral("saved.txt")); ADD_FAILURE() << "accepted"; }
        catch (const RegistryFormatError& error) {
            const QString text = error.description();
            EXPECT_TRUE(text.startsWith(QStringLiteral("saved.txt:%1: ").arg(malformed.line)) && text.contains(malformed.reason))
                << text.toStdString();
            EXPECT_EQ(error.line(), malformed.line);
        }
    }
    // Errors of a file name it (odd characters included).
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("n\u00e4me with \"quotes\".txt"));
    try { loadIoregTextFile(file); ADD_FAILURE() << "a missing file loaded"; } catch (const PlatformError& error) {
        EXPECT_TRUE(error.description().contains(file)) << error.description().toStdString();
    }
    writeFile(file, "+-o Root  <class R>\n  | {\n  |   \"a\" = (1\n");
    try { loadIoregTextFile(file); ADD_FAILURE() << "a malformed file loaded"; } catch (const RegistryFormatError& error) {
        EXPECT_TRUE(error.description().startsWith(file + QStringLiteral(":3: "))) << error.description().toStdString();
    }
}

TEST(IoregTextPrinter, DrawsTheTreeAndWritesValuesAsIoregDoes)
{
    const Node root = entry("Root", "IORegistryEntry");
    auto first = root->addChild(kIOServicePlane, "first", "A",
        {{"text", "a b"}, {"yes", true}, {"negative", QVariant::fromValue<qint64>(-2)}, {"names", QByteArray("ab\0cd\0", 6)},
         {"model", QByteArray("iMac18,3")}, {"padded", QByteArray("ab\0\0", 4)}, {"bytes", QByteArray("\x01\xff", 2)},
         {"quoted", QByteArray("a\"b\0", 4)}, {"list", QVariantList{QVariant::fromValue<qint64>(1), "x"}},
         {"map", QVariantMap{{"k", false}}}}, "1,2");
    first->addChild(kIOServicePlane, "inner", "B");
    root->addChild(kIOServicePlane, "last", "C");
    bool truncated = true;
    EXPECT_EQ(printIoregText(TreeRegistry(root), kIOServicePlane, true, &truncated),
              "+-o Root  <class IORegistryEntry, id 0x100000100>\n  | {\n  | }\n  | \n"
              "  +-o first@1,2  <class A, id 0x100000101>\n  | | {\n  | |   \"bytes\" = <01ff>\n  | |   \"list\" = (1,\"x\")\n"
              "  | |   \"map\" = {\"k\"=No}\n  | |   \"model\" = <\"iMac18,3\">\n  | |   \"names\" = <\"ab\",\"cd\">\n"
              "  | |   \"negative\" = -2\n  | |   \"padded\" = <61620000>\n"
              "  | |   \"quoted\" = <61226200>\n  | |   \"text\" = \"a b\"\n  | |   \"yes\" = Yes\n  | | }\n  | | \n"
              "  | +-o inner  <class B, id 0x100000102>\n  |     {\n  |     }\n  |     \n"
              "  +-o last  <class C, id 0x100000103>\n      {\n      }\n      \n");
    EXPECT_FALSE(truncated);
}

TEST(IoregTextPrinter, TheListingToolRefusesWhatItDoesNotKnow)
{
    const QString tool = builtTool(QStringLiteral("ioreg"));
    for (const QStringList& arguments : {QStringList{"-x"}, {"-p", "IOPower"}, {"-w"}, {"-wide"}, {"--root"}, {"stray"}, {"--help"}}) {
        const ProcessOutcome outcome = runProcessRaw(tool, arguments, std::nullopt, 30);
        EXPECT_EQ(outcome.exitStatus, arguments.first() == "--help" ? 0 : 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(outcome.output.contains("usage: ioreg")) << outcome.output.toStdString();
    }
    // Combined options as getopt takes them; a root without sysfs gives the bare platform.
    QTemporaryDir dir;
    const ProcessOutcome combined = runProcessRaw(tool, {"-lw0", "-pIOService", "--root", dir.path()}, std::nullopt, 30);
    EXPECT_TRUE(combined.exitStatus == 0
                && combined.output.contains("  +-o Linux  <class IOPlatformExpertDevice, id 0x100000101>\n"))
        << combined.output.toStdString();
}
