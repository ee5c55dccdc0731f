#include "companion/RegistryCompanion.h"
#include "support/TestFiles.h"

#include <QDir>
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

TEST(RegistryCompanion, WritesTheKextReportsListingAndTablesOfASavedRegistry)
{
    QTemporaryDir output;
    const CompanionRun imac = runCompanion({registry("imac18-3-ioreg.txt"), output.path()});
    ASSERT_EQ(imac.status, 0) << imac.err.toStdString();
    const QString kext = output.filePath("Portwright.kext/Contents/Info.plist");
    EXPECT_EQ(imac.out.split('\n', Qt::SkipEmptyParts),
              QStringList({"wrote " + kext, "wrote " + output.filePath("Portwright-report.txt"),
                           "wrote " + output.filePath("PCI-USB-Controllers.txt"), "wrote " + output.filePath("ioreg.txt")}));
    // The model of the port personalities is the registry's machine, not the one running the test.
    EXPECT_TRUE(readText(kext).contains("<key>iMac18,3-XHC1</key>"));
    EXPECT_TRUE(readText(output.filePath("PCI-USB-Controllers.txt")).contains("PCI ID: 8086:a12f"));
    EXPECT_TRUE(readText(output.filePath("ioreg.txt")).startsWith("Velkor native IORegistry text fallback\n"));
    EXPECT_TRUE(QDir(output.filePath("ACPI")).isEmpty());

    QTemporaryDir second;
    const CompanionRun macbook = runCompanion({registry("macbookpro11-2-ioreg.txt"), second.path()});
    ASSERT_EQ(macbook.status, 0) << macbook.err.toStdString();
    const QStringList tables = QDir(second.filePath("ACPI")).entryList({"*.aml"}, QDir::Files);
    EXPECT_GE(tables.size(), 15);
    EXPECT_TRUE(tables.contains("DSDT.aml"));
    for (const QString& name : tables)
        EXPECT_TRUE(macbook.out.contains("wrote " + second.filePath("ACPI/" + name))) << name.toStdString();
    EXPECT_FALSE(readText(second.filePath("ioreg.txt")).contains("C02N42J7G3QC"));
}

TEST(RegistryCompanion, CommandLineErrorsNameWhatFailed)
{
    const CompanionRun help = runCompanion({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains("ioreg -l"));
    EXPECT_EQ(runCompanion({}).status, 2);
    EXPECT_EQ(runCompanion({"only-one"}).status, 2);

    QTemporaryDir dir;
    writeFile(dir.filePath("a-file"), "x");
    writeFile(dir.filePath("broken.txt"), "+-o Root  <class R>\n  | {\n  |   \"a\" = (1\n");
    const struct {
        QStringList arguments;
        QString named;
    } failures[] = {
        {{dir.filePath("nowhere.txt"), dir.path()}, dir.filePath("nowhere.txt")},
        {{registry("imac18-3-ioreg.txt"), dir.filePath("a-file")}, dir.filePath("a-file")},
        {{registry("imac18-3-ioreg.txt"), "/proc/velkor-output"}, "/proc/velkor-output"},
        {{dir.filePath("broken.txt"), dir.filePath("out")}, dir.filePath("broken.txt") + ":3: "},
    };
    for (const auto& failure : failures) {
        const CompanionRun run = runCompanion(failure.arguments);
        EXPECT_EQ(run.status, 1) << failure.named.toStdString();
        EXPECT_TRUE(run.err.contains(failure.named)) << run.err.toStdString();
    }
}
