// The bundled patchmatic against this machine's firmware tables, alone and inside the ACPI
// step with the real administrator runner. Reading the tables needs root.
#include "acpi/PrivilegedExtraction.h"

#include "steps/StepContext.h"
#include "platform/linux/LinuxAdministratorRunner.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

namespace velkor {
namespace {

using testing::builtTool;
using testing::readFile;
using testing::readText;
using testing::writeFile;

const QString kTables = QStringLiteral("/sys/firmware/acpi/tables");

class CollectingLog : public LogSink {
public:
    void log(const QString& message) override { lines.append(message); }
    QStringList lines;
};

// The firmware's tables by the .aml name patchmatic gives them: SSDT3 -> SSDT-3.aml.
QMap<QString, QString> firmwareTables()
{
    static const QRegularExpression numbered(QStringLiteral("^(.{4})(\\d+)$"));
    QMap<QString, QString> tables;
    for (const QString& folder : {kTables, kTables + "/dynamic"}) {
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
            const auto match = numbered.match(file.fileName());
            const QString name = match.hasMatch() ? match.captured(1) + "-" + match.captured(2) : file.fileName();
            tables.insert(name + ".aml", file.filePath());
        }
    }
    return tables;
}

bool canReadFirmwareTables()
{
    return ::geteuid() == 0 && !firmwareTables().isEmpty();
}

TEST(BundledPatchmatic, TheACPIStepHoldsEveryFirmwareTableByteForByte)
{
    if (!canReadFirmwareTables())
        GTEST_SKIP() << "needs root and " << kTables.toStdString();

    QTemporaryDir root;
    Platform platform;
    platform.bundle = AppBundle::atBundlePath(root.filePath("apps/Velkor.app"), root.filePath("home"));
    platform.temporaryDirectory = root.filePath("tmp");
    platform.administrator = std::make_shared<LinuxAdministratorRunner>(platform.bundle);
    QDir().mkpath(platform.bundle.toolsPath());
    QDir().mkpath(platform.temporaryDirectory);
    const QString patchmatic = platform.bundle.toolsPath() + "/patchmatic";
    ASSERT_TRUE(QFile::copy(builtTool("patchmatic"), patchmatic));
    const QString acpi = root.filePath("home/Desktop/SendToZantro_Work/ACPI");
    QDir().mkpath(acpi);
    CollectingLog log;
    StepContext context{log, platform};

    extractACPIWithValidation(context, patchmatic, acpi);

    const QMap<QString, QString> tables = firmwareTables();
    QStringList amlFiles = QDir(acpi).entryList({"*.aml"}, QDir::Files);
    EXPECT_EQ(amlFiles.size(), tables.size());
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it) {
        const QByteArray original = readFile(it.value());
        ASSERT_FALSE(original.isEmpty()) << it.value().toStdString();
        EXPECT_EQ(readFile(acpi + "/" + it.key()), original) << it.key().toStdString();
    }

    const QString output = readText(acpi + "/patchmatic-output.txt");
    EXPECT_TRUE(output.startsWith("[privileged] extracting ACPI with bundled patchmatic: " + patchmatic + "\n"
                                  "[privileged] working directory: /run/velkor-privileged."));
    EXPECT_TRUE(output.contains("patchmatic: wrote DSDT.aml")) << output.toStdString();
    EXPECT_TRUE(output.endsWith(QString("[privileged] patchmatic exit status: 0\n[privileged] AML count: %1\n").arg(tables.size())))
        << output.toStdString();
    EXPECT_EQ(log.lines, (QStringList{"[privileged] setup started\n[privileged] setup finished\n",
                                      QString("ACPI extracted successfully with patchmatic: %1 AML file(s).").arg(tables.size())}));
    EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());
}

TEST(BundledPatchmatic, WithoutRootItSaysSoAndLeavesNothing)
{
    if (!canReadFirmwareTables() || !QFileInfo::exists("/usr/sbin/runuser"))
        GTEST_SKIP() << "needs root, runuser and " << kTables.toStdString();
    QTemporaryDir work;
    QFile::setPermissions(work.path(), QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther
                                           | QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // The tool must be reachable by the other user too.
    QTemporaryDir tools;
    QFile::setPermissions(tools.path(), QFileDevice::ReadOther | QFileDevice::ExeOther | QFileDevice::ReadOwner
                                            | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString tool = tools.filePath("patchmatic");
    ASSERT_TRUE(QFile::copy(builtTool("patchmatic"), tool));

    const ProcessOutcome outcome = runProcessRaw("/usr/sbin/runuser", {"-u", "nobody", "--", tool, "-extract"}, work.path(), 30);
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_TRUE(outcome.output.contains("administrator rights are needed")) << outcome.output.toStdString();
    EXPECT_TRUE(QDir(work.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

TEST(BundledPatchmatic, ReplacesALinkInsteadOfWritingThroughIt)
{
    if (!canReadFirmwareTables() || !firmwareTables().contains("DSDT.aml"))
        GTEST_SKIP() << "needs root and a DSDT in " << kTables.toStdString();
    QTemporaryDir work;
    writeFile(work.filePath("victim"), "untouched");
    QFile::link(work.filePath("victim"), work.filePath("DSDT.aml"));

    const ProcessOutcome outcome = runProcessRaw(builtTool("patchmatic"), {"-extract"}, work.path(), 30);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.output.toStdString();
    EXPECT_EQ(readText(work.filePath("victim")), "untouched");
    EXPECT_FALSE(QFileInfo(work.filePath("DSDT.aml")).isSymLink());
    EXPECT_EQ(readFile(work.filePath("DSDT.aml")), readFile(kTables + "/DSDT"));
    EXPECT_EQ(QFile::permissions(work.filePath("DSDT.aml")) & QFileDevice::ReadOther, QFileDevice::ReadOther);
}

TEST(BundledPatchmatic, RefusesOtherArguments)
{
    for (const QStringList& arguments : {QStringList{}, QStringList{"-extract", "more"}, QStringList{"extract"}}) {
        QTemporaryDir work;
        const ProcessOutcome outcome = runProcessRaw(builtTool("patchmatic"), arguments, work.path(), 30);
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.output, "usage: patchmatic -extract\n");
        EXPECT_TRUE(QDir(work.path()).isEmpty());
    }
}

} // namespace
} // namespace velkor
