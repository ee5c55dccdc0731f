#include "registry/IoregTextLoader.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QRandomGenerator>
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
    EXPECT_EQ(platform.properties.value(QStringLiteral("model")).toByteArray(), QByteArray("iMac18,3\0", 9));
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

    // A dictionary inside a dictionary, a dictionary inside a port's property.
    const TreeRegistryNode& rootDomain = named(*registry, QStringLiteral("IOPMrootDomain"));
    const QVariantMap limits = rootDomain.properties.value(QStringLiteral("Power Status")).toMap().value(QStringLiteral("CPU_Power_Limits")).toMap();
    EXPECT_EQ(limits.value(QStringLiteral("CPU_Speed_Limit")), QVariant::fromValue<qint64>(100));
    EXPECT_EQ(limits.value(QStringLiteral("CPU_Available_CPUs")), QVariant::fromValue<qint64>(4));
    const QVariantMap companion = named(*registry, QStringLiteral("HS02"), QStringLiteral("14100000")).properties.value(QStringLiteral("UsbCompanionSS")).toMap();
    EXPECT_EQ(companion.value(QStringLiteral("UsbCompanionPortNumber")).toByteArray(), bytes({0x16, 0, 0, 0}));

    // Numbers above the signed range stay unsigned; a name holding " | "; quotes inside a string;
    // a string that runs over several lines.
    const QVariantList delay = named(*registry, QStringLiteral("AppleACPIPlatformExpert")).properties.value(QStringLiteral("IOPlatformMaxBusDelay")).toList();
    ASSERT_EQ(delay.size(), 2);
    EXPECT_EQ(delay[0].typeId(), QMetaType::ULongLong);
    EXPECT_EQ(delay[0].toULongLong(), std::numeric_limits<quint64>::max());
    EXPECT_EQ(delay[1], QVariant::fromValue<qint64>(0));
    EXPECT_NE(findNamed(root, kIOServicePlane, QStringLiteral("E-MU 0404 | USB"), QStringLiteral("14310000")), nullptr);
    const TreeRegistryNode* airport = findNode(root, kIOServicePlane, [](const TreeRegistryNode& node) {
        return node.properties.contains(QStringLiteral("IO80211HardwareVersion"));
    });
    ASSERT_NE(airport, nullptr);
    EXPECT_EQ(named(*registry, QStringLiteral("AirPort_BrcmNIC")).properties.value(QStringLiteral("IO80211Family.BuildTagGit")).toString(),
              QStringLiteral("\"AirPortFamily_kexts-1340\""));
    const QString hardware = airport->properties.value(QStringLiteral("IO80211HardwareVersion")).toString();
    EXPECT_TRUE(hardware.startsWith(QStringLiteral("vendorid: 0x14e4\ndeviceid: 0x43ba\n"))) << hardware.toStdString();
    EXPECT_TRUE(hardware.endsWith(QStringLiteral("bus: 0x1\n"))) << hardware.toStdString();
    EXPECT_EQ(airport->properties.value(QStringLiteral("IO80211ChannelFrequency")), QVariant::fromValue<qint64>(5180));
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
    const QVariantMap& properties = registry->root()->properties;
    EXPECT_EQ(properties.value(QStringLiteral("hex")), QVariant::fromValue<qint64>(31));
    EXPECT_EQ(properties.value(QStringLiteral("negative")), QVariant::fromValue<qint64>(-5));
    EXPECT_EQ(properties.value(QStringLiteral("empty")), QVariant(QVariantList()));
    EXPECT_EQ(properties.value(QStringLiteral("emptyMap")), QVariant(QVariantMap()));
    EXPECT_EQ(properties.value(QStringLiteral("emptyData")).typeId(), QMetaType::QByteArray);
    EXPECT_EQ(properties.value(QStringLiteral("strings")).toByteArray(), QByteArray("a\0bc\0", 5));
    const QVariantList mixed = properties.value(QStringLiteral("mixed")).toList();
    ASSERT_EQ(mixed.size(), 4);
    EXPECT_EQ(mixed[0], QVariant(true));
    EXPECT_EQ(mixed[1], QVariant(QStringLiteral("x, y)")));
    EXPECT_EQ(mixed[2].toByteArray(), bytes({0x00, 0xff}));
    EXPECT_EQ(mixed[3].toMap().value(QStringLiteral("k")).toList().at(1).toMap().value(QStringLiteral("deep")), QVariant(false));
    EXPECT_EQ(properties.value(QStringLiteral("blank")), QVariant(QString()));
    // Hand-masked data stays as its text; a left-out value reads as an empty text.
    EXPECT_EQ(properties.value(QStringLiteral("masked")).toByteArray(), QByteArray("9****6"));
    EXPECT_EQ(properties.value(QStringLiteral("odd")).toByteArray(), QByteArray("abc"));
    EXPECT_EQ(properties.value(QStringLiteral("left out")).toMap().value(QStringLiteral("k")), QVariant(QString()));

    const auto& children = registry->root()->serviceChildren;
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->location, QStringLiteral("1,2"));
    EXPECT_EQ(children[0]->serviceChildren.at(0)->className, QStringLiteral("G"));
    EXPECT_EQ(children[1]->name, QStringLiteral("second@x"));
    EXPECT_EQ(children[1]->location, QStringLiteral("3"));
    EXPECT_EQ(children[1]->className, QStringLiteral("S"));
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
    // Random damage to a real registry: every outcome is a registry or a format error.
    const QByteArray original = readFile(testData(QStringLiteral("registry/imac18-3-ioreg.txt"))).left(20000);
    QRandomGenerator random(4);
    const char alphabet[] = "\"(){}<>,=|+-o \n0xAYesNo@\\\x01\xff";
    int failures = 0;
    for (int round = 0; round < 150; ++round) {
        QByteArray damaged = original;
        const int edits = 1 + random.bounded(8);
        for (int i = 0; i < edits; ++i) {
            const qsizetype at = random.bounded(static_cast<int>(damaged.size()));
            switch (random.bounded(3)) {
            case 0: damaged[at] = alphabet[random.bounded(static_cast<int>(sizeof alphabet - 1))]; break;
            case 1: damaged.remove(at, random.bounded(40)); break;
            default: damaged.insert(at, damaged.mid(random.bounded(static_cast<int>(damaged.size())), random.bounded(200))); break;
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
