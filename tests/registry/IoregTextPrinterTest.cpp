#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "process/ProcessRunner.h"

#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <limits>

using namespace velkor;
using namespace velkor::testing;

TEST(IoregTextPrinter, DrawsTheTreeAndWritesValuesAsIoregDoes)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = QStringLiteral("Root");
    root->className = QStringLiteral("IORegistryEntry");
    auto first = root->addChild(kIOServicePlane, QStringLiteral("first"), QStringLiteral("A"),
                                {{QStringLiteral("text"), QStringLiteral("a b")},
                                 {QStringLiteral("yes"), true},
                                 {QStringLiteral("big"), QVariant::fromValue<quint64>(std::numeric_limits<quint64>::max())},
                                 {QStringLiteral("negative"), QVariant::fromValue<qint64>(-2)},
                                 {QStringLiteral("names"), QByteArray("ab\0cd\0", 6)},
                                 {QStringLiteral("model"), QByteArray("iMac18,3")},
                                 {QStringLiteral("padded"), QByteArray("ab\0\0", 4)},
                                 {QStringLiteral("bytes"), QByteArray("\x01\xff", 2)},
                                 {QStringLiteral("quoted"), QByteArray("a\"b\0", 4)},
                                 {QStringLiteral("list"), QVariantList{QVariant::fromValue<qint64>(1), QStringLiteral("x")}},
                                 {QStringLiteral("map"), QVariantMap{{QStringLiteral("k"), false}}}},
                                QStringLiteral("1,2"));
    first->addChild(kIOServicePlane, QStringLiteral("inner"), QStringLiteral("B"));
    root->addChild(kIOServicePlane, QStringLiteral("last"), QStringLiteral("C"));
    const TreeRegistry registry(root);

    const QString expected = QStringLiteral(
        "+-o Root  <class IORegistryEntry, id 0x100000100>\n"
        "  | {\n"
        "  | }\n"
        "  | \n"
        "  +-o first@1,2  <class A, id 0x100000101>\n"
        "  | | {\n"
        "  | |   \"big\" = 18446744073709551615\n"
        "  | |   \"bytes\" = <01ff>\n"
        "  | |   \"list\" = (1,\"x\")\n"
        "  | |   \"map\" = {\"k\"=No}\n"
        "  | |   \"model\" = <\"iMac18,3\">\n"
        "  | |   \"names\" = <\"ab\",\"cd\">\n"
        "  | |   \"negative\" = -2\n"
        "  | |   \"padded\" = <61620000>\n"
        "  | |   \"quoted\" = <61226200>\n"
        "  | |   \"text\" = \"a b\"\n"
        "  | |   \"yes\" = Yes\n"
        "  | | }\n"
        "  | | \n"
        "  | +-o inner  <class B, id 0x100000102>\n"
        "  |     {\n"
        "  |     }\n"
        "  |     \n"
        "  +-o last  <class C, id 0x100000103>\n"
        "      {\n"
        "      }\n"
        "      \n");
    EXPECT_EQ(printIoregText(registry, kIOServicePlane), expected);
    EXPECT_EQ(printIoregText(registry, kIOServicePlane, false),
              QStringLiteral("+-o Root  <class IORegistryEntry, id 0x100000100>\n"
                             "  +-o first@1,2  <class A, id 0x100000101>\n"
                             "  | +-o inner  <class B, id 0x100000102>\n"
                             "  +-o last  <class C, id 0x100000103>\n"));
    // The IODeviceTree plane of this tree is the root alone.
    EXPECT_EQ(printIoregText(registry, kIODeviceTreePlane, false), QStringLiteral("+-o Root  <class IORegistryEntry, id 0x100000100>\n"));

    // Deeper than 512 levels below the root: cut, and said so.
    bool truncated = false;
    EXPECT_EQ(printIoregText(TreeRegistry(chain(600)), kIOServicePlane, false, &truncated).count(QStringLiteral("+-o ")), 513);
    EXPECT_TRUE(truncated);
    printIoregText(registry, kIOServicePlane, false, &truncated);
    EXPECT_FALSE(truncated);
}

TEST(IoregTextPrinter, SavedRegistriesComeBackUnchanged)
{
    // Real values: quoted data, numbers above the signed range, strings over several lines,
    // strings with quotes, hand-masked data.
    for (const char* name : {"imac18-3-ioreg.txt", "macbookpro11-2-ioreg.txt"}) {
        const auto saved = loadIoregTextFile(testData(QStringLiteral("registry/") + QLatin1String(name)));
        const auto again = loadIoregText(printIoregText(*saved, kIOServicePlane).toUtf8(), QStringLiteral("printed"));
        EXPECT_EQ(treeDifference(*saved->root(), kIOServicePlane, *again->root(), kIOServicePlane), QString()) << name;
    }
}

TEST(IoregTextPrinter, TheListingToolRefusesWhatItDoesNotKnow)
{
    const QString tool = builtTool(QStringLiteral("ioreg"));
    for (const QStringList& arguments : {QStringList{QStringLiteral("-x")}, QStringList{QStringLiteral("-p"), QStringLiteral("IOPower")},
                                         QStringList{QStringLiteral("-w")}, QStringList{QStringLiteral("-wide")},
                                         QStringList{QStringLiteral("--root")}, QStringList{QStringLiteral("stray")}}) {
        const ProcessOutcome outcome = runProcessRaw(tool, arguments, std::nullopt, 30);
        EXPECT_EQ(outcome.exitStatus, 2) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(outcome.output.contains("usage: ioreg")) << outcome.output.toStdString();
    }
    const ProcessOutcome help = runProcessRaw(tool, {QStringLiteral("--help")}, std::nullopt, 30);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.output.contains("usage: ioreg")) << help.output.toStdString();
    // Combined options as getopt takes them; a root without sysfs gives the bare platform.
    QTemporaryDir dir;
    const ProcessOutcome combined = runProcessRaw(tool, {QStringLiteral("-lw0"), QStringLiteral("-pIOService"), QStringLiteral("--root"), dir.path()},
                                                  std::nullopt, 30);
    EXPECT_EQ(combined.exitStatus, 0);
    EXPECT_TRUE(combined.output.contains("  +-o Linux  <class IOPlatformExpertDevice, id 0x100000101>\n")) << combined.output.toStdString();
}
