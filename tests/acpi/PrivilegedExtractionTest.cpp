#include "acpi/PrivilegedExtraction.h"

#include "base/CollectorError.h"
#include "steps/StepContext.h"
#include "registry/TreeRegistry.h"
#include "support/FakeAdministratorRunner.h"
#include "support/RecordingLog.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

using testing::FakeAdministratorRunner;
using testing::readFile;
using testing::readText;
using testing::writeFile;
using testing::writeScript;

QByteArray table(const char* signature, qsizetype size)
{
    QByteArray blob(size, 't');
    blob.replace(0, 4, QByteArray(signature, 4));
    qToLittleEndian<quint32>(quint32(size), blob.data() + 4);
    return blob;
}

const QString kStartedAndFinished = QStringLiteral("[privileged] setup started\n[privileged] setup finished\n");

// A machine laid out below one folder whose name can hold any character: the application
// bundle with its Tools, the ACPI folder of the work folder and the temporary folder.
class PrivilegedExtractionTest : public ::testing::Test {
protected:
    void layOut(const QString& folderName)
    {
        base = root.filePath(folderName);
        platform.bundle = AppBundle::atBundlePath(base + "/apps/Velkor.app", base + "/home");
        acpi = base + "/home/Desktop/SendToZantro_Work/ACPI";
        platform.temporaryDirectory = base + "/tmp";
        QDir().mkpath(acpi);
        QDir().mkpath(platform.temporaryDirectory);
        QDir().mkpath(platform.bundle.toolsPath());
        platform.administrator = runner;
    }
    // A patchmatic that writes the given tables on its n-th run (counting from 1), and
    // prints what it does; exitStatus is its status on every run.
    QString addPatchmatic(const QString& writesOnRun, int exitStatus = 0)
    {
        runs = platform.bundle.toolsPath() + "/runs";
        patchmatic = platform.bundle.toolsPath() + "/patchmatic";
        writeScript(patchmatic, QStringLiteral(
            "runs=\"$(dirname \"$0\")/runs\"\n"
            "n=$(( $(cat \"$runs\" 2>/dev/null || echo 0) + 1 )); echo $n > \"$runs\"\n"
            "echo \"patchmatic run $n: $*\"\n"
            "case \" %1 \" in *\" $n \"*) printf 'DSDT....' > DSDT.aml; printf 'SSDT....' > SSDT-1.aml; echo wrote 2 ;; esac\n"
            "exit %2").arg(writesOnRun).arg(exitStatus));
        return patchmatic;
    }
    int patchmaticRuns() const { return readText(runs).trimmed().toInt(); }
    QString output() const { return readText(acpi + "/patchmatic-output.txt"); }
    QStringList amlFiles() const { return QDir(acpi).entryList({"*.aml"}, QDir::Files, QDir::Name); }
    void extract() { extractACPIWithValidation(context, patchmatic, acpi); }

    QTemporaryDir root;
    QString base;
    QString acpi;
    QString patchmatic;
    QString runs;
    std::shared_ptr<FakeAdministratorRunner> runner = std::make_shared<FakeAdministratorRunner>();
    Platform platform;
    testing::RecordingLog log;
    StepContext context{log, platform};
};

// Runs the script for folders named with each kind of awkward character: every run must do
// the same thing, with only the paths themselves differing in what it prints.
TEST_F(PrivilegedExtractionTest, TheScriptBehavesTheSameWhateverThePathsHold)
{
    const QStringList names{"plain", "it's", "say \"cheese\"", "back\\slash", "two words", "Zoë Ünïcødé ∂", "all ' \" \\ é $x `y`"};
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        layOut(name);
        addPatchmatic("1");
        QFile::setPermissions(patchmatic, QFileDevice::ReadOwner | QFileDevice::WriteOwner); // the script gives it back
        writeFile(acpi + "/stale.aml", "old");
        writeFile(acpi + "/keep.txt", "kept");
        writeFile(acpi + "/patchmatic-output.txt", "earlier run");
        log.lines.clear();

        runPrivilegedSetupOnce(context, patchmatic, acpi);

        EXPECT_EQ(amlFiles(), (QStringList{"DSDT.aml", "SSDT-1.aml"}));
        EXPECT_EQ(readText(acpi + "/keep.txt"), "kept");
        EXPECT_EQ(output(), "[privileged] extracting ACPI with bundled patchmatic: " + patchmatic + "\n"
                            "[privileged] working directory: " + acpi + "\n"
                            "patchmatic run 1: -extract\n"
                            "wrote 2\n"
                            "[privileged] patchmatic exit status: 0\n"
                            "[privileged] AML count: 2\n");
        EXPECT_EQ(log.lines, QStringList{kStartedAndFinished});
        EXPECT_EQ(runner->standardError.last(), "");
        // Nothing of the script is left behind.
        EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());
    }
    EXPECT_EQ(runner->scriptPaths.size(), names.size());
}

TEST_F(PrivilegedExtractionTest, TheScriptLivesInAPrivateFolderWhileItRuns)
{
    layOut("private");
    addPatchmatic("1");
    runPrivilegedSetupOnce(context, patchmatic, acpi);

    ASSERT_EQ(runner->scriptPaths.size(), 1);
    const QFileInfo script(runner->scriptPaths[0]);
    EXPECT_EQ(script.fileName(), privilegedSetupScriptName());
    EXPECT_EQ(QFileInfo(script.path()).path(), platform.temporaryDirectory);
    EXPECT_TRUE(S_ISREG(runner->scriptModes[0]));
    EXPECT_EQ(runner->scriptModes[0] & 07777, 0755u);
    EXPECT_TRUE(S_ISDIR(runner->folderModes[0]));
    EXPECT_EQ(runner->folderModes[0] & 07777, 0700u);
    EXPECT_FALSE(QFileInfo::exists(script.path()));

    // Without a temporary folder of the platform's own, the system's is used.
    platform.temporaryDirectory.clear();
    runPrivilegedSetupOnce(context, patchmatic, acpi);
    EXPECT_EQ(QFileInfo(QFileInfo(runner->scriptPaths[1]).path()).path(), QDir::tempPath());
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(runner->scriptPaths[1]).path()));
}

TEST_F(PrivilegedExtractionTest, FailuresEndTheStepWithoutAFallbackAndLeaveNoScript)
{
    layOut("failures");
    addPatchmatic("1 2");
    runner->declining = "Administrator authentication was declined or not authorized (pkexec exit status 126)";
    try {
        extract();
        ADD_FAILURE() << "a declined prompt must throw";
    } catch (const CollectorError& error) {
        EXPECT_EQ(error.description(), runner->declining);
    }
    EXPECT_TRUE(S_ISREG(runner->scriptModes.at(0))); // the script existed while the prompt was up
    runner->declining.clear();
    runner->scriptPaths.clear();
    EXPECT_TRUE(log.lines.isEmpty());
    EXPECT_TRUE(QDir(acpi).isEmpty());

    platform.administrator.reset();
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, acpi), CollectorError);
    platform.administrator = runner;
    platform.temporaryDirectory = base + "/no such folder";
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, acpi), PlatformError);
    EXPECT_TRUE(runner->scriptPaths.isEmpty());

    // The ACPI path is a file: mkdir and cd fail, and the script must not clear the .aml files
    // of the folder it started in.
    platform.temporaryDirectory = base + "/tmp";
    runner->workingDirectory = base + "/elsewhere";
    writeFile(base + "/elsewhere/bystander.aml", "keep me");
    writeFile(base + "/blocked-acpi", "a file");
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, base + "/blocked-acpi"), CollectorError);
    EXPECT_EQ(readText(base + "/elsewhere/bystander.aml"), "keep me");
    EXPECT_EQ(patchmaticRuns(), 0);
    EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());
}

TEST_F(PrivilegedExtractionTest, PrivilegedTablesWithAndWithoutTheSupplement)
{
    layOut("with registry");
    addPatchmatic("1");
    extract();
    EXPECT_EQ(log.lines, (QStringList{kStartedAndFinished, "ACPI extracted successfully with patchmatic: 2 AML file(s)."}));

    // The registry adds two tables: the supplement line comes first, then the new total.
    auto node = std::make_shared<TreeRegistryNode>();
    node->properties = {{"ACPI Tables", QVariantMap{{"APIC", table("APIC", 44)}, {"FACP", table("FACP", 40)}}}};
    platform.registry = std::make_shared<TreeRegistry>(node);
    log.lines.clear();
    addPatchmatic("2");
    extract();
    EXPECT_EQ(log.lines, (QStringList{kStartedAndFinished,
                                      "Native ACPI table supplement added 2 table(s), including APIC when available.",
                                      "ACPI extracted successfully with patchmatic: 4 AML file(s)."}));
    EXPECT_EQ(amlFiles(), (QStringList{"APIC.aml", "DSDT.aml", "FACP.aml", "SSDT-1.aml"}));
    EXPECT_FALSE(output().contains("[native IOKit ACPI table supplement]"));
    EXPECT_FALSE(QFileInfo::exists(acpi + "/ACPI-extraction-failed.txt"));
}

TEST_F(PrivilegedExtractionTest, TheDirectRunStepsInWhenThePrivilegedRunLeavesNoTable)
{
    layOut("fallback");
    addPatchmatic("2");
    extract();
    EXPECT_EQ(patchmaticRuns(), 2);
    EXPECT_EQ(log.lines, (QStringList{kStartedAndFinished,
                                      "WARNING: privileged patchmatic run produced 0 AML files. Trying a direct bundled patchmatic fallback...",
                                      "ACPI extracted successfully after fallback: 2 AML file(s)."}));
    EXPECT_TRUE(output().startsWith("[privileged] extracting ACPI with bundled patchmatic: "));
    EXPECT_TRUE(output().endsWith("[privileged] AML count: 0\n\n\n[direct fallback]\npatchmatic run 2: -extract\nwrote 2\n"))
        << output().toStdString();
    EXPECT_FALSE(QFileInfo::exists(acpi + "/ACPI-extraction-failed.txt"));
}

TEST_F(PrivilegedExtractionTest, AFailedDirectRunIsRecordedAndTheRegistryCanStillHelp)
{
    layOut("registry helps");
    addPatchmatic("", 1);
    auto node = std::make_shared<TreeRegistryNode>();
    node->properties = {{"APIC", table("APIC", 44)}};
    platform.registry = std::make_shared<TreeRegistry>(node);
    extract();

    EXPECT_TRUE(output().endsWith("[privileged] patchmatic exit status: 1\n[privileged] AML count: 0\n\n\n"
                                  "[direct fallback failure]\nCommand failed: " + patchmatic + " -extract\npatchmatic run 2: -extract\n\n\n\n"
                                  "[native IOKit ACPI table supplement]\nAdded 1 table(s) from IODeviceTree/IOService properties.\n"))
        << output().toStdString();
    EXPECT_EQ(log.lines.last(), "ACPI extracted successfully after fallback: 1 AML file(s).");
    EXPECT_EQ(amlFiles(), QStringList{"APIC.aml"});
    EXPECT_FALSE(QFileInfo::exists(acpi + "/ACPI-extraction-failed.txt"));
}

TEST_F(PrivilegedExtractionTest, NoTableAtAllWritesTheFailureNote)
{
    layOut("nothing");
    addPatchmatic("");
    extract();
    EXPECT_EQ(readText(acpi + "/ACPI-extraction-failed.txt"),
              "ACPI extraction finished with 0 AML files. See patchmatic-output.txt for details.\n"
              "The collection continues so the final ZIP is still generated.\n");
    EXPECT_EQ(log.lines.last(),
              "WARNING: ACPI extraction produced 0 AML files. ACPI-extraction-failed.txt was written and collection will continue.");
    EXPECT_TRUE(output().endsWith("\n\n[direct fallback]\npatchmatic run 2: -extract\n"));
}

TEST_F(PrivilegedExtractionTest, FilesThatCannotBeWrittenEndTheStep)
{
    layOut("failure note blocked");
    addPatchmatic("");
    QDir().mkpath(acpi + "/ACPI-extraction-failed.txt");
    EXPECT_THROW(extract(), PlatformError);

    // The output file cannot be appended to (the privileged run could not create it either).
    QDir(acpi).removeRecursively();
    QDir().mkpath(acpi + "/patchmatic-output.txt");
    EXPECT_THROW(extract(), PlatformError);
}

TEST_F(PrivilegedExtractionTest, TheFallbackKeepsWhatTheAdministratorRunWrote)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "handing a file to another user needs root";
    // As if root had written the output: the user's fallback must still add to it.
    class OtherOwnerRunner : public FakeAdministratorRunner {
    public:
        QString runScriptAsAdministrator(const QString& scriptPath) override
        {
            const QString printed = FakeAdministratorRunner::runScriptAsAdministrator(scriptPath);
            EXPECT_EQ(::chown(QFile::encodeName(output).constData(), 65534, 65534), 0);
            return printed;
        }
        QString output;
    };
    auto other = std::make_shared<OtherOwnerRunner>();
    runner = other;
    layOut("other owner");
    other->output = acpi + "/patchmatic-output.txt";
    addPatchmatic("");
    extract();
    QFileInfo info(other->output);
    EXPECT_EQ(info.ownerId(), ::geteuid());
    EXPECT_TRUE(output().startsWith("[privileged] extracting ACPI with bundled patchmatic: "));
    EXPECT_TRUE(output().contains("\n\n[direct fallback]\n"));
}

TEST(CountAMLFiles, CountsDirectEntriesWithTheExtensionInAnyCase)
{
    QTemporaryDir folder;
    for (const char* name : {"a.aml", "B.AML", ".hidden.aml", "x.aml.txt", "aml", "sub/c.aml"})
        writeFile(folder.filePath(name), "x");
    QDir().mkpath(folder.filePath("dir.aml"));
    QFile::link(folder.filePath("gone"), folder.filePath("link.Aml"));
    EXPECT_EQ(countAMLFiles(folder.path()), 5);
    EXPECT_EQ(countAMLFiles(folder.filePath("missing")), 0);
    EXPECT_EQ(countAMLFiles(folder.filePath("a.aml")), 0);
}

} // namespace
} // namespace velkor
