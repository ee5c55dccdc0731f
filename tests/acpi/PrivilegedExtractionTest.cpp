#include "acpi/PrivilegedExtraction.h"

#include "acpi/PrivilegedSetupScript.h"
#include "base/CollectorError.h"
#include "platform/PrivilegedFacts.h"
#include "process/ProcessRunner.h"
#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"
#include "steps/StepContext.h"
#include "support/FakeAdministratorRunner.h"
#include "support/RecordingLog.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

using testing::DecliningAdministratorRunner;
using testing::FakeAdministratorRunner;
using testing::readFile;
using testing::readText;
using testing::writeFile;
using testing::writeScript;

QByteArray table(const char* signature, qsizetype size)
{
    QByteArray blob(size, 't');
    blob.replace(0, 4, QByteArray(signature, 4));
    blob.replace(4, 4, littleEndianBytes(quint32(size)));
    return blob;
}

const QString kStartedAndFinished = QStringLiteral("[privileged] setup started\n[privileged] setup finished\n");

// Hands back fixed output, as a run that printed it would.
class CannedAdministratorRunner : public AdministratorRunner {
public:
    AdministratorRunOutput runScriptAsAdministrator(const QString&, const AdministratorRunLimits&) override { return output; }
    AdministratorRunOutput output;
};

// A machine laid out below one folder whose name can hold any character: the application
// bundle with its Tools, the ACPI folder of the work folder and the temporary folder.
class PrivilegedExtractionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the setup script runs as root";
        platform.commands.bootLogDump = {};
        platform.efiRoots = {};
        platform.machineRoot = root.filePath("no machine");
    }
    // Root's own folder, named in the output it handed over, is gone once the run ended.
    void TearDown() override
    {
        const QString workingDirectory = output().section('\n', 1, 1).section(": ", 1);
        if (workingDirectory.startsWith("/run/velkor-privileged.")) {
            EXPECT_FALSE(QFileInfo::exists(QFileInfo(workingDirectory).path())) << workingDirectory.toStdString();
        }
    }
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
    // What the privileged run writes into patchmatic-output.txt; root's working folder varies.
    QString privilegedOutput(const QString& printed, int status, int count) const
    {
        static const QRegularExpression workFolder(QStringLiteral("^/run/velkor-privileged\\.[A-Za-z0-9]{8}/tables$"));
        const QStringList lines = output().split('\n');
        EXPECT_TRUE(workFolder.match(lines.value(1).section(": ", 1)).hasMatch()) << lines.value(1).toStdString();
        return "[privileged] extracting ACPI with bundled patchmatic: " + patchmatic + "\n"
             + "[privileged] working directory: " + lines.value(1).section(": ", 1) + "\n" + printed
             + QString("[privileged] patchmatic exit status: %1\n[privileged] AML count: %2\n").arg(status).arg(count);
    }

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

TEST_F(PrivilegedExtractionTest, TheScriptNamesOnlyWhatRootReadsQuotedAsOneWordEach)
{
    PrivilegedRequest request;
    request.patchmatic = QStringLiteral("/Apps/Bob's \"Tools\" \\ Ünï $x `y`/Velkor.app/Contents/Resources/Tools/patchmatic");
    request.machineRoot = QStringLiteral("/");
    request.efiRoots = {QStringLiteral("/boot/efi/EFI"), QStringLiteral("/mnt/O'Neil EFI/EFI")};
    request.bootLog = {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo 'quoted' | head -400")}};
    const QString script = privilegedSetupScript(request);
    const QStringList lines = script.split('\n');
    EXPECT_EQ(lines.mid(0, 9),
              (QStringList{"#!/bin/bash", "set -u", "export PATH=/usr/bin:/bin:/usr/sbin:/sbin", "export LC_ALL=C", "umask 077",
                           "patchmatic='/Apps/Bob'\\''s \"Tools\" \\ Ünï $x `y`/Velkor.app/Contents/Resources/Tools/patchmatic'",
                           "machine_root=''", "efi_roots=('/boot/efi/EFI' '/mnt/O'\\''Neil EFI/EFI')",
                           "boot_log_command=('/bin/sh' '-c' 'echo '\\''quoted'\\'' | head -400')"}));
    EXPECT_TRUE(script.endsWith("record_text log - $'[privileged] setup finished\\n'\nprintf 'END\\n'\nexit 0\n"));

    // bash reads it as a whole, and the words reach it unchanged.
    QTemporaryDir folder;
    const QString path = folder.filePath("script");
    writeFile(path, (lines.mid(0, 9).join('\n') + "\nprintf '%s\\n' \"$patchmatic\" \"${efi_roots[@]}\" \"${boot_log_command[@]}\"\n").toUtf8());
    EXPECT_EQ(runProcess("/bin/bash", {path}, std::nullopt, 10),
              request.patchmatic + "\n" + request.efiRoots.join('\n') + "\n/bin/sh\n-c\necho 'quoted' | head -400\n");
    writeFile(path, script.toUtf8());
    EXPECT_EQ(runProcessRaw("/bin/bash", {"-n", path}, std::nullopt, 10).exitStatus, 0);
}

// Runs the step for folders named with each kind of awkward character: every run must do the
// same thing, with only the paths themselves differing in what it leaves.
TEST_F(PrivilegedExtractionTest, TheScriptBehavesTheSameWhateverThePathsHold)
{
    const QStringList names{"plain", "it's", "say \"cheese\"", "back\\slash", "two words", "Zoë Ünïcødé ∂", "all ' \" \\ é $x `y`"};
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        layOut(name);
        addPatchmatic("1");
        writeFile(acpi + "/stale.aml", "old");
        writeFile(acpi + "/keep.txt", "kept");
        writeFile(acpi + "/patchmatic-output.txt", "earlier run");
        log.lines.clear();

        EXPECT_EQ(runPrivilegedSetupOnce(context, patchmatic, acpi), PrivilegedRun::Ran);

        EXPECT_EQ(amlFiles(), (QStringList{"DSDT.aml", "SSDT-1.aml"}));
        EXPECT_EQ(readText(acpi + "/DSDT.aml"), "DSDT....");
        EXPECT_EQ(readText(acpi + "/keep.txt"), "kept");
        EXPECT_EQ(output(), privilegedOutput("patchmatic run 1: -extract\nwrote 2\n", 0, 2));
        EXPECT_EQ(log.lines, QStringList{kStartedAndFinished});
        EXPECT_EQ(runner->standardError.last(), "");
        EXPECT_EQ(runner->lastLimits.maxOutputBytes, privileged::kHandoverBytes);
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
    EXPECT_EQ(privilegedSetupScriptName(), QString("quorvexgen_privileged_setup_%1.sh").arg(::getpid()));
    EXPECT_EQ(QFileInfo(script.path()).path(), platform.temporaryDirectory);
    EXPECT_TRUE(S_ISREG(runner->scriptModes[0]));
    EXPECT_EQ(runner->scriptModes[0] & 07777, 0755u);
    EXPECT_TRUE(S_ISDIR(runner->folderModes[0]));
    EXPECT_EQ(runner->folderModes[0] & 07777, 0700u);
    EXPECT_EQ(runner->scriptTexts[0], privilegedSetupScript(privilegedRequestFor(platform, patchmatic)));
    EXPECT_FALSE(QFileInfo::exists(script.path()));

    // Without a temporary folder of the platform's own, the system's is used.
    platform.temporaryDirectory.clear();
    runPrivilegedSetupOnce(context, patchmatic, acpi);
    EXPECT_EQ(QFileInfo(QFileInfo(runner->scriptPaths[1]).path()).path(), QDir::tempPath());
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(runner->scriptPaths[1]).path()));
}

TEST_F(PrivilegedExtractionTest, WhatStandsUnderANameInTheACPIFolderIsReplacedNeverWrittenThrough)
{
    layOut("planted");
    addPatchmatic("1");
    const QString victim = root.filePath("victim");
    writeFile(victim, "untouched");
    QFile::link(victim, acpi + "/patchmatic-output.txt");
    QFile::link(victim, acpi + "/SSDT-1.aml");
    ASSERT_EQ(::mkfifo(QFile::encodeName(acpi + "/DSDT.aml").constData(), 0600), 0);

    extract();

    EXPECT_EQ(readText(victim), "untouched");
    for (const char* name : {"patchmatic-output.txt", "DSDT.aml", "SSDT-1.aml"}) {
        const QFileInfo file(acpi + "/" + name);
        EXPECT_TRUE(file.isFile() && !file.isSymLink()) << name;
    }
    EXPECT_EQ(readText(acpi + "/SSDT-1.aml"), "SSDT....");
}

TEST_F(PrivilegedExtractionTest, ADeclinedPromptEndsTheStepAndLeavesNothingBehind)
{
    layOut("declined");
    addPatchmatic("1 2");
    auto declining = std::make_shared<DecliningAdministratorRunner>();
    platform.administrator = declining;
    try {
        extract();
        FAIL() << "a declined prompt must throw";
    } catch (const CollectorError& error) {
        EXPECT_EQ(error.description(), declining->message);
    }
    EXPECT_TRUE(declining->scriptExisted);
    EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());
    EXPECT_EQ(patchmaticRuns(), 0); // no fallback
    EXPECT_TRUE(log.lines.isEmpty());
    EXPECT_TRUE(QDir(acpi).isEmpty());
}

TEST_F(PrivilegedExtractionTest, NoPromptIsAWarningAndTheDirectRunGoesOn)
{
    layOut("no agent");
    addPatchmatic("1");
    auto unavailable = std::make_shared<DecliningAdministratorRunner>();
    unavailable->unavailable = true;
    unavailable->message = QStringLiteral("pkexec exit status 127: No authentication agent found");
    platform.administrator = unavailable;
    extract();

    EXPECT_EQ(log.lines, (QStringList{"WARNING: No administrator prompt could be shown: pkexec exit status 127: No authentication agent "
                                      "found. Velkor goes on without administrator rights, with what this user may read of the ACPI "
                                      "tables, the boot log and the hardware details.",
                                      "ACPI extracted successfully after fallback: 2 AML file(s)."}));
    EXPECT_EQ(output(), "[privileged] no administrator run: pkexec exit status 127: No authentication agent found\n\n\n"
                        "[direct fallback]\npatchmatic run 1: -extract\nwrote 2\n");
    EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());
}

TEST_F(PrivilegedExtractionTest, ScriptsAndFilesThatCannotBeWrittenOrRunFail)
{
    layOut("unwritable");
    addPatchmatic("1");
    platform.temporaryDirectory = base + "/no such folder";
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, acpi), PlatformError);
    EXPECT_TRUE(runner->scriptPaths.isEmpty());

    platform.temporaryDirectory = base + "/tmp";
    platform.administrator.reset();
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, acpi), CollectorError);
    EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());

    // Neither the failure note nor the output can be written: a folder stands in their place.
    platform.administrator = runner;
    addPatchmatic("");
    QDir().mkpath(acpi + "/ACPI-extraction-failed.txt");
    EXPECT_THROW(extract(), PlatformError);
    QDir(acpi).removeRecursively();
    QDir().mkpath(acpi + "/patchmatic-output.txt/inside");
    EXPECT_THROW(extract(), PlatformError);
}

// Root reads the firmware identity, the xHCI capabilities, the boot log and the configurations
// of the first EFI root that exists, and hands them over to the store, not to files.
TEST_F(PrivilegedExtractionTest, RootGathersWhatOnlyRootCanReadForTheLaterSteps)
{
    layOut("machine");
    addPatchmatic("1");
    const QString machine = base + "/machine";
    writeFile(machine + "/sys/class/dmi/id/product_serial", "C02XK1ZZJV3Q\n");
    writeFile(machine + "/sys/class/dmi/id/board_serial", "C0273930\x01 0CDJ\n");
    writeFile(machine + "/sys/class/dmi/id/product_uuid", "0f3d2a41-7b7e-4c55-9e2b-3a5f6b7c8d9e\n");
    const QString xhci = machine + "/sys/kernel/debug/usb/xhci/0000:00:14.0/";
    writeFile(xhci + "reg-ext-protocol:00", "EXTCAP_REVISION = 0x02000802\nEXTCAP_PORTINFO = 0x20000a01\n");
    writeFile(xhci + "reg-ext-protocol:01", "EXTCAP_REVISION = 0x03100802\nEXTCAP_PORTINFO = 0x10000611\n");
    writeFile(xhci + "reg-other", "EXTCAP_REVISION = 0x03100802\n");
    const QString efi = base + "/boot/efi/EFI";
    writeFile(efi + "/CLOVER/config.plist", "<plist>clover</plist>");
    writeFile(efi + "/OC/config.plist", "<plist>oc</plist>");
    const QString bootLog = base + "/kernel.log";
    writeFile(bootLog, "kernel: line one\n");
    platform.machineRoot = machine + "/";
    platform.efiRoots = {base + "/not mounted/EFI", efi, base + "/later"};
    platform.commands.bootLogDump = {"/bin/cat", {bootLog}};
    platform.commands.kernelWarningsDump = {"/bin/sh", {"-c", "echo '<3>[ 42.1] ACPI Error: AE_NOT_FOUND'"}};
    platform.privilegedFacts = std::make_shared<PrivilegedFactsStore>();

    extract();

    const auto facts = platform.privilegedFacts->current();
    EXPECT_EQ(facts->bootLog, QByteArray("kernel: line one\n"));
    EXPECT_EQ(facts->kernelWarnings, QByteArray("<3>[ 42.1] ACPI Error: AE_NOT_FOUND\n"));
    EXPECT_EQ(facts->efiRoot, efi);
    EXPECT_EQ(facts->efiConfigs, (std::map<QString, QByteArray>{{efi + "/CLOVER/config.plist", "<plist>clover</plist>"},
                                                                 {efi + "/OC/config.plist", "<plist>oc</plist>"}}));
    EXPECT_EQ(facts->xhciPortRanges,
              (std::map<QString, std::vector<XhciPortRange>>{{"0000:00:14.0", {{2, 0, 1, 10}, {3, 16, 17, 6}}}}));
    ASSERT_EQ(facts->firmwareIdentifiers.size(), 2u); // the value with a control character is dropped
    EXPECT_EQ(facts->firmwareIdentifiers[0].value, "C02XK1ZZJV3Q");
    EXPECT_EQ(facts->firmwareIdentifiers[0].kind, IdentifierKind::SerialNumber);
    EXPECT_EQ(facts->firmwareIdentifiers[1].value, "0f3d2a41-7b7e-4c55-9e2b-3a5f6b7c8d9e");
    EXPECT_EQ(facts->firmwareIdentifiers[1].kind, IdentifierKind::UUID);
    // Nothing of it became a file of the package.
    QStringList files = QDir(acpi).entryList(QDir::Files | QDir::Hidden);
    files.sort();
    EXPECT_EQ(files, (QStringList{"DSDT.aml", "SSDT-1.aml", "patchmatic-output.txt"}));
    EXPECT_FALSE(output().contains("C02XK1ZZJV3Q"));
}

// A configuration that someone else could swap for a link or a FIFO while root reads it is
// left to the user's own reading: root reads only through folders that only root can change.
TEST_F(PrivilegedExtractionTest, RootReadsAnEFIConfigurationOnlyWhereNoOneElseCanSwapIt)
{
    struct Case {
        const char* name;
        std::function<void(const QString& efi)> prepare;
        bool read;
    };
    const auto chmodFolder = [](const QString& path, mode_t mode) { ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0); };
    const std::vector<Case> cases{
        {"root's own folders", [](const QString&) {}, true},
        {"a folder others can write", [&](const QString& efi) { chmodFolder(efi + "/OC", 0777); }, false},
        {"a group-writable folder above", [&](const QString& efi) { chmodFolder(efi, 0775); }, false},
        {"a shared folder with root's file", [&](const QString& efi) { chmodFolder(efi + "/OC", 01777); }, true},
        {"a shared folder with another's file",
         [&](const QString& efi) {
             chmodFolder(efi + "/OC", 01777);
             ASSERT_EQ(::chown(QFile::encodeName(efi + "/OC/config.plist").constData(), 65534, 65534), 0);
         },
         false},
        {"a link", [](const QString& efi) {
             QFile::rename(efi + "/OC/config.plist", efi + "/OC/real.plist");
             QFile::link(efi + "/OC/real.plist", efi + "/OC/config.plist");
         }, false},
        {"a FIFO", [](const QString& efi) {
             QFile::remove(efi + "/OC/config.plist");
             ASSERT_EQ(::mkfifo(QFile::encodeName(efi + "/OC/config.plist").constData(), 0600), 0);
         }, false},
    };
    int run = 0;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        layOut(QString("efi %1").arg(++run));
        addPatchmatic("1");
        const QString efi = base + "/esp/EFI";
        writeFile(efi + "/OC/config.plist", "<plist>oc</plist>");
        testCase.prepare(efi);
        platform.efiRoots = {efi};
        platform.privilegedFacts = std::make_shared<PrivilegedFactsStore>();
        runPrivilegedSetupOnce(context, patchmatic, acpi);
        const auto facts = platform.privilegedFacts->current();
        EXPECT_EQ(facts->efiRoot, efi);
        EXPECT_EQ(facts->efiConfigs.count(efi + "/OC/config.plist"), testCase.read ? 1u : 0u);
    }
}

TEST_F(PrivilegedExtractionTest, ARunThatEndsBadlyKeepsWhatCameBeforeAndSaysWhy)
{
    layOut("ends badly");
    addPatchmatic("2");
    auto canned = std::make_shared<CannedAdministratorRunner>();
    platform.administrator = canned;
    const QByteArray start = "VELKOR-PRIVILEGED 1\nlog 27 -\n[privileged] setup started\n\ntable 8 APIC.aml\nAPIC....\n";
    struct Case {
        QByteArray output;
        QString problem;
        QStringList warnings;
        QStringList tables;
    };
    const std::vector<Case> cases{
        {start + "table 8 DSDT.aml\nDSDT", "it took longer than 180 s",
         {"WARNING: The administrator run did not finish cleanly: it took longer than 180 s.",
          "WARNING: Velkor did not accept all the administrator run handed back: a table record is cut short."},
         {"APIC.aml"}},
        {start + "table 4 ../x.aml\nxxxx\nEND\n", "",
         {"WARNING: Velkor did not accept all the administrator run handed back: a table record is named “../x.aml”."},
         {"APIC.aml"}},
        {"", "it ended with exit status 1: bash: cannot open", {"WARNING: The administrator run did not finish cleanly: it ended with exit status 1: bash: cannot open."}, {}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.problem.toStdString());
        QDir(acpi).removeRecursively();
        QDir().mkpath(acpi);
        QFile::remove(runs);
        log.lines.clear();
        canned->output = {testCase.output, testCase.problem.isEmpty() ? 0 : 1, testCase.problem};
        extract();
        const QStringList warnings = log.lines.filter(QRegularExpression("^WARNING: (The|Velkor)"));
        EXPECT_EQ(warnings, testCase.warnings);
        // Tables that came before the damage count; without any, the direct run steps in.
        EXPECT_EQ(patchmaticRuns(), testCase.tables.isEmpty() ? 1 : 0);
        if (!testCase.tables.isEmpty()) {
            EXPECT_EQ(amlFiles(), testCase.tables);
        }
    }
}

// What the privileged run, the direct run and the registry's tables each add, and the note
// left when none of them gave a table.
TEST_F(PrivilegedExtractionTest, TablesComeFromRootThenTheDirectRunThenTheRegistry)
{
    const QString fallback = "WARNING: privileged patchmatic run produced 0 AML files. Trying a direct bundled patchmatic fallback...";
    const struct {
        const char* name;
        QString writesOnRun;
        int exitStatus;
        QVariantMap registry; // properties of the registry's root; none: no registry
        QStringList logEnd;
        QStringList tables;
        QString outputEnd;
    } cases[] = {
        {"privileged", "1", 0, {}, {kStartedAndFinished, "ACPI extracted successfully with patchmatic: 2 AML file(s)."},
         {"DSDT.aml", "SSDT-1.aml"}, "[privileged] AML count: 2\n"},
        {"privileged and supplement", "1", 0, {{"ACPI Tables", QVariantMap{{"APIC", table("APIC", 44)}, {"FACP", table("FACP", 40)}}}},
         {kStartedAndFinished, "Native ACPI table supplement added 2 table(s), including APIC when available.",
          "ACPI extracted successfully with patchmatic: 4 AML file(s)."},
         {"APIC.aml", "DSDT.aml", "FACP.aml", "SSDT-1.aml"}, "[privileged] AML count: 2\n"},
        {"direct", "2", 0, {}, {kStartedAndFinished, fallback, "ACPI extracted successfully after fallback: 2 AML file(s)."},
         {"DSDT.aml", "SSDT-1.aml"},
         "[privileged] patchmatic exit status: 0\n[privileged] AML count: 0\n\n\n[direct fallback]\npatchmatic run 2: -extract\nwrote 2\n"},
        {"registry", "", 1, {{"APIC", table("APIC", 44)}}, {"ACPI extracted successfully after fallback: 1 AML file(s)."}, {"APIC.aml"},
         "[privileged] patchmatic exit status: 1\n[privileged] AML count: 0\n\n\n[direct fallback failure]\nCommand failed: %1 -extract\n"
         "patchmatic run 2: -extract\n\n\n\n[native IOKit ACPI table supplement]\nAdded 1 table(s) from IODeviceTree/IOService properties.\n"},
        {"nothing", "", 0, {},
         {"WARNING: ACPI extraction produced 0 AML files. ACPI-extraction-failed.txt was written and collection will continue."}, {},
         "\n\n[direct fallback]\npatchmatic run 2: -extract\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        layOut(c.name);
        addPatchmatic(c.writesOnRun, c.exitStatus);
        platform.registry.reset();
        if (!c.registry.isEmpty()) {
            auto node = std::make_shared<TreeRegistryNode>();
            node->properties = c.registry;
            platform.registry = std::make_shared<TreeRegistry>(node);
        }
        log.lines.clear();
        extract();
        EXPECT_EQ(log.lines.mid(log.lines.size() - c.logEnd.size()), c.logEnd);
        EXPECT_EQ(amlFiles(), c.tables);
        EXPECT_TRUE(output().endsWith(QString(c.outputEnd).replace("%1", patchmatic))) << output().toStdString();
        EXPECT_EQ(readText(acpi + "/ACPI-extraction-failed.txt"),
                  c.tables.isEmpty() ? "ACPI extraction finished with 0 AML files. See patchmatic-output.txt for details.\n"
                                       "The collection continues so the final ZIP is still generated.\n"
                                     : "");
    }
}

} // namespace
} // namespace velkor
