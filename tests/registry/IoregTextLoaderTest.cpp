#include "registry/IoregTextLoader.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QRandomGenerator>
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

} // namespace

// Real registries: entry counts and the texts that are hard to read (a name holding " | ",
// quotes inside a string, a string over several lines, numbers above the signed range, a
// dictionary inside a dictionary, the firmware tables as data).
TEST(IoregTextLoader, LoadsRealRegistriesWithTheirTypedValues)
{
    const auto imac = loadFixture(QStringLiteral("imac18-3-ioreg.txt"));
    const TreeRegistryNode& root = *imac->root();
    EXPECT_EQ(allNodes(root, kIOServicePlane).size(), 840u); // the file's "+-o" lines
    EXPECT_NE(findNamed(root, kIOServicePlane, QStringLiteral("E-MU 0404 | USB"), QStringLiteral("14310000")), nullptr);
    const QVariantMap limits = named(*imac, QStringLiteral("IOPMrootDomain")).properties.value(QStringLiteral("Power Status")).toMap().value(QStringLiteral("CPU_Power_Limits")).toMap();
    EXPECT_EQ(limits.value(QStringLiteral("CPU_Available_CPUs")), QVariant::fromValue<qint64>(4));
    const QVariantList delay = named(*imac, QStringLiteral("AppleACPIPlatformExpert")).properties.value(QStringLiteral("IOPlatformMaxBusDelay")).toList();
    EXPECT_EQ(delay, QVariantList({QVariant::fromValue<quint64>(std::numeric_limits<quint64>::max()), QVariant::fromValue<qint64>(0)}));
    const QVariantMap airport = named(*imac, QStringLiteral("AirPort_BrcmNIC")).properties;
    EXPECT_EQ(airport.value(QStringLiteral("IO80211Family.BuildTagGit")).toString(), QStringLiteral("\"AirPortFamily_kexts-1340\""));
    const QString hardware = findNode(root, kIOServicePlane, [](const TreeRegistryNode& node) {
        return node.properties.contains(QStringLiteral("IO80211HardwareVersion"));
    })->properties.value(QStringLiteral("IO80211HardwareVersion")).toString();
    EXPECT_TRUE(hardware.startsWith(QStringLiteral("vendorid: 0x14e4\ndeviceid: 0x43ba\n")) && hardware.endsWith(QStringLiteral("bus: 0x1\n")))
        << hardware.toStdString();

    const auto macbook = loadFixture(QStringLiteral("macbookpro11-2-ioreg.txt"));
    EXPECT_EQ(allNodes(*macbook->root(), kIOServicePlane).size(), 514u);
}

TEST(IoregTextLoader, ReadsEveryValueFormAndTheEntryTree)
{
    const QByteArray text = "+-o Root  <class IORegistryEntry, id 0x100000100, retain 9>\r\n"
                            "  | {\n"
                            "  |   \"hex\" = 0x1F\n"
                            "  |   \"negative\" = -5\n"
                            "  |   \"empty\" = ()\n"
                            "  |   \"emptyMap\" = {}\n"
                            "  |   \"emptyData\" = <>\n"
                            "  |   \"strings\" = <\"a\",\"bc\">\n"
                            "  |   \"mixed\" = (Yes,\"x, y)\",<00ff>,{\"k\"=(1,{\"deep\"=No})})\n"
                            "  |   \"blank\" = \"\"\n"
                            "  |   \"masked\" = <9****6>\n"
                            "  |   \"odd\" = <abc>\n"
                            "  |   \"left out\" = {\"k\"=,\"j\"=1}\n"
                            "  | }\n"
                            "  | \n"
                            "  +-o child@1,2  <class C>\n"
                            "    +-o grandchild  <class G, id 1>\n"
                            "  +-o second@x@3  <class S, registered>\n";
    const auto registry = loadIoregText(text, QStringLiteral("inline"));
    // Hand-masked data stays as its text; a left-out value reads as an empty text.
    const QVariantMap expected{
        {"hex", qint64(31)}, {"negative", qint64(-5)}, {"empty", QVariantList()}, {"emptyMap", QVariantMap()}, {"emptyData", QByteArray()},
        {"strings", QByteArray("a\0bc\0", 5)}, {"blank", QString()}, {"masked", QByteArray("9****6")}, {"odd", QByteArray("abc")},
        {"mixed", QVariantList{true, "x, y)", QByteArray::fromHex("00ff"), QVariantMap{{"k", QVariantList{qint64(1), QVariantMap{{"deep", false}}}}}}},
        {"left out", QVariantMap{{"k", QString()}, {"j", qint64(1)}}}};
    EXPECT_EQ(registry->root()->properties, expected);
    QStringList entries;
    for (const TreeRegistryNode* node : allNodes(*registry->root(), kIOServicePlane))
        entries.append(node->name + "@" + node->location + " " + node->className);
    EXPECT_EQ(entries, QStringList({"Root@ IORegistryEntry", "child@1,2 C", "grandchild@ G", "second@x@3 S"}));
}

TEST(IoregTextLoader, RejectsMalformedTextWithTheFileAndLine)
{
    const QByteArray head = "+-o Root  <class IORegistryEntry>\n  | {\n";
    const struct {
        QByteArray text;
        int line;
        const char* reason;
    } cases[] = {
        {"", 0, "no registry entry"},
        {"just words\n", 1, "unexpected text"},
        {head + "  |   \"a\" = {\"k\"=1\n  | }\n", 3, "unterminated dictionary"},
        {head + "  |   \"a\" = (1,2\n", 3, "unterminated array"},
        {head + "  |   \"a\" = <00ff\n", 3, "unterminated data"},
        {head + "  |   \"a\" = <\"a\",1>\n", 3, "expected a quoted text"},
        {head + "  |   \"a\" = <\"text\n", 3, "unterminated data"},
        {head + "  |   \"a\" = <\"te>xt\n", 3, "unterminated text in data"},
        {head + "  |   \"a\" = Maybe\n", 3, "unrecognized value"},
        {head + "  |   \"a\" = 99999999999999999999\n", 3, "out of range"},
        {head + "  |   \"a\" = 1 2\n", 3, "unexpected text after the value"},
        {head + "  |   \"a\" = (1 2)\n", 3, "expected \",\" or \")\""},
        {head + "  |   \"a\" = {k=1}\n", 3, "quoted key"},
        {head + "  |   \"a\" = \"open\n  | }\n", 4, "unterminated string (the value starts on line 3)"},
        {head + "  |   \"a\" 1\n", 3, "without \" = \""},
        {head + "  +-o Child  <class C>\n", 3, "not closed"},
        {head, 2, "unterminated property block"},
        {"+-o Root  <class R>\n  |   \"a\" = 1\n", 2, "property outside a property block"},
        {"+-o Root  <class R>\n  }\n", 2, "without an open property block"},
        {"+-o Root  <class R>\n    +-o Deep  <class D>\n", 2, "nested more than one level"},
        {"+-o Root  <class R>\n +-o Odd  <class D>\n", 2, "not aligned"},
        {"+-o Root  <class R>\n+-o Again  <class R>\n", 2, "second root"},
        {"+-o Root without class\n", 1, "<class"},
        {"  +-o Child  <class C>\n", 1, "before the root"},
        {head + "  |   \"a\" = " + QByteArray(300, '(') + "\n", 3, "nested more than 256"},
    };
    for (const auto& malformed : cases) {
        try {
            loadIoregText(malformed.text, QStringLiteral("saved.txt"));
            ADD_FAILURE() << "accepted: " << malformed.text.toStdString();
        } catch (const RegistryFormatError& error) {
            const QString expectedStart = QStringLiteral("saved.txt:%1: ").arg(malformed.line);
            EXPECT_TRUE(error.description().startsWith(expectedStart)) << error.description().toStdString();
            EXPECT_TRUE(error.description().contains(QString::fromUtf8(malformed.reason))) << error.description().toStdString();
            EXPECT_EQ(error.line(), malformed.line);
        }
    }
}

TEST(IoregTextLoader, DamagedTextLoadsOrFailsCleanly)
{
    // Random damage to real registries (cut, bytes flipped, syntax dropped in, parts removed or
    // spliced, runs of open brackets): every outcome is a registry or a format error.
    const QByteArray original = readFile(testData(QStringLiteral("registry/imac18-3-ioreg.txt"))).left(20000);
    QRandomGenerator random(4);
    const char syntax[] = "\"(){}<>,=|+-o \n0xAYesNo@\\\x01\xff";
    int failures = 0;
    for (int round = 0; round < 600; ++round) {
        QByteArray damaged = original;
        for (int edits = 1 + random.bounded(8); edits > 0 && !damaged.isEmpty(); --edits) {
            const qsizetype at = random.bounded(static_cast<int>(damaged.size()));
            switch (random.bounded(6)) {
            case 0: damaged.truncate(at); break;
            case 1: damaged[at] = char(random.bounded(256)); break;
            case 2: damaged[at] = syntax[random.bounded(static_cast<int>(sizeof syntax - 1))]; break;
            case 3: damaged.remove(at, random.bounded(40)); break;
            case 4: damaged.insert(at, damaged.mid(random.bounded(static_cast<int>(damaged.size())), random.bounded(200))); break;
            default: damaged.insert(at, QByteArray(random.bounded(300), '{')); break;
            }
        }
        try {
            EXPECT_NE(loadIoregText(damaged, QStringLiteral("damaged"))->root(), nullptr);
        } catch (const RegistryFormatError& error) {
            ++failures;
            EXPECT_TRUE(error.description().startsWith(QStringLiteral("damaged:")));
        }
    }
    EXPECT_GT(failures, 0);
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
