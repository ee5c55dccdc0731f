#include "companion/RegistryCompanion.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

struct CompanionRun {
    int status = -1;
    QString out;
    QString err;
};

CompanionRun runCompanion(const QStringList& arguments)
{
    CompanionRun run;
    QTextStream out(&run.out);
    QTextStream err(&run.err);
    // The bundle whose tools hold the ID database excerpt the golden kext was made with.
    const AppBundle bundle = AppBundle::atBundlePath(testData("usb/bundle/Velkor.app"), "/nonexistent");
    run.status = runRegistryCompanion(arguments, bundle, out, err);
    out.flush();
    err.flush();
    return run;
}

QString registry(const QString& name)
{
    return testData("registry/" + name);
}

} // namespace

TEST(RegistryCompanion, IMacRegistryGivesTheKextReportsListingAndNoTables)
{
    QTemporaryDir output;
    const CompanionRun run = runCompanion({registry("imac18-3-ioreg.txt"), output.path()});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QString kext = output.filePath("Portwright.kext/Contents/Info.plist");
    EXPECT_EQ(run.out.split('\n', Qt::SkipEmptyParts),
              QStringList({"wrote " + kext, "wrote " + output.filePath("Portwright-report.txt"),
                           "wrote " + output.filePath("PCI-USB-Controllers.txt"), "wrote " + output.filePath("ioreg.txt")}));
    // The same kext and report as the program's generator gives for this registry; the model of
    // the port personalities is the registry's machine, not the one running the test.
    EXPECT_EQ(readText(kext), readText(testData("kext/imac18-3-Info.plist")));
    EXPECT_EQ(readText(output.filePath("Portwright-report.txt")), readText(testData("kext/imac18-3-Portwright-report.txt")));
    EXPECT_TRUE(readText(kext).contains("<key>iMac18,3-"));
    EXPECT_TRUE(readText(output.filePath("PCI-USB-Controllers.txt")).contains("PCI ID: 8086:a12f"));
    EXPECT_TRUE(readText(output.filePath("ioreg.txt")).startsWith("Velkor native IORegistry text fallback\n"));
    EXPECT_TRUE(QDir(output.filePath("ACPI")).isEmpty());
}

TEST(RegistryCompanion, MacBookProTablesAreWrittenWithTheirSignaturesAndSizes)
{
    QTemporaryDir output;
    const CompanionRun run = runCompanion({registry("macbookpro11-2-ioreg.txt"), output.path()});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QStringList tables = QDir(output.filePath("ACPI")).entryList({"*.aml"}, QDir::Files, QDir::Name);
    EXPECT_GE(tables.size(), 15);
    EXPECT_TRUE(tables.contains("DSDT.aml"));
    EXPECT_TRUE(tables.contains("APIC.aml"));
    EXPECT_TRUE(tables.contains("SSDT-01.aml"));
    for (const QString& name : tables) {
        const QByteArray table = readFile(output.filePath("ACPI/" + name));
        ASSERT_GE(table.size(), 36) << name.toStdString();
        EXPECT_EQ(QString::fromLatin1(table.left(4)), name.left(4)) << name.toStdString();
        const quint32 declared = quint8(table[4]) | quint8(table[5]) << 8 | quint8(table[6]) << 16 | quint32(quint8(table[7])) << 24;
        EXPECT_LE(declared, quint32(table.size())) << name.toStdString();
        EXPECT_TRUE(run.out.contains("wrote " + output.filePath("ACPI/" + name)));
    }
    // Nothing of the machine's identity reaches the listing.
    EXPECT_FALSE(readText(output.filePath("ioreg.txt")).contains("C02N42J7G3QC"));
}

TEST(RegistryCompanion, CommandLineErrorsAreClear)
{
    const CompanionRun help = runCompanion({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains("ioreg -l"));

    EXPECT_EQ(runCompanion({}).status, 2);
    EXPECT_EQ(runCompanion({"only-one"}).status, 2);

    QTemporaryDir output;
    const CompanionRun missing = runCompanion({output.filePath("nowhere.txt"), output.path()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.contains(output.filePath("nowhere.txt"))) << missing.err.toStdString();

    writeFile(output.filePath("a-file"), "x");
    const CompanionRun notAFolder = runCompanion({registry("imac18-3-ioreg.txt"), output.filePath("a-file")});
    EXPECT_EQ(notAFolder.status, 1);
    EXPECT_TRUE(notAFolder.err.contains(output.filePath("a-file"))) << notAFolder.err.toStdString();

    const CompanionRun unwritable = runCompanion({registry("imac18-3-ioreg.txt"), "/proc/velkor-output"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_TRUE(unwritable.err.contains("/proc/velkor-output")) << unwritable.err.toStdString();
}

TEST(RegistryCompanion, MalformedRegistriesNameTheFileAndLine)
{
    QTemporaryDir dir;
    const QByteArray good = readFile(registry("imac18-3-ioreg.txt"));
    const QByteArray firstLines = good.left(good.indexOf('\n', 4000) + 1);
    const QList<QByteArray> broken{
        good.left(good.size() / 2 - 17),                                       // truncated mid-line
        firstLines + "    | |   \"broken\" = {\"a\"=1,\"b\"=(2,3}\n",          // unbalanced
        firstLines + "    | |   \"bad-hex\" = <12zz>\n",                       // bad hex
        QByteArray::fromHex("7f454c4602010100000000fffe0001c3281b5b"),  // binary garbage
    };
    int index = 0;
    for (const QByteArray& text : broken) {
        const QString path = dir.filePath(QStringLiteral("broken-%1.txt").arg(++index));
        writeFile(path, text);
        const CompanionRun run = runCompanion({path, dir.filePath("out")});
        EXPECT_EQ(run.status, 1) << index;
        EXPECT_TRUE(QRegularExpression(QRegularExpression::escape(path) + ":\\d+: ").match(run.err).hasMatch())
            << index << ": " << run.err.toStdString();
    }
}
