#include "acpi/NativeACPITables.h"
#include "acpi/PrivilegedExtraction.h"

#include "acpi/PrivilegedHandover.h"
#include "base/CollectorError.h"
#include "process/ProcessRunner.h"
#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"
#include "steps/StepContext.h"
#include "support/FakeAdministratorRunner.h"
#include "support/RecordingLog.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

using namespace velkor::testing;

const QString kStartedAndFinished = "[privileged] setup started\n[privileged] setup finished\n";
const QString kFallback = "WARNING: privileged patchmatic run produced 0 AML files. Trying a direct bundled patchmatic fallback...";

QByteArray table(const char* signature, quint32 declaredLength, qsizetype size, char fill = 'x')
{
    return QByteArray(signature, 4) + littleEndianBytes(declaredLength) + QByteArray(size - 8, fill);
}

struct NativeACPITablesTest : ::testing::Test {
    QStringList written() const { return QDir(acpi.path()).entryList(QDir::Files, QDir::Name); }
    QByteArray file(const QString& name) const { return readFile(acpi.filePath(name)); }
    int supplement() { return extractNativeACPITablesIfNeeded(&registry, acpi.path()); }
    QTemporaryDir acpi;
    std::shared_ptr<TreeRegistryNode> root = std::make_shared<TreeRegistryNode>();
    TreeRegistry registry{root};
};

// Equal bytes are one table, whatever found or wrote it; the rest are numbered; what is there stays.
TEST_F(NativeACPITablesTest, NumbersTablesOfOneSignatureAndNeverReplacesWhatIsThere)
{
    auto platform = root->addChild(kIOServicePlane, "platform", "IOPlatformExpertDevice",
                                   {{"APIC", table("APIC", 44, 44, '1')}, {"SLIC", table("SLIC", 36, 36)},
                                    {"ACPI Tables", QVariantMap{{"APIC2", table("APIC", 44, 44, '2')}, {"SSDT", table("SSDT", 40, 40, 'a')}}}});
    root->deviceTreeChildren.push_back(platform);
    root->addChild(kIODeviceTreePlane, "b", {}, {{"SSDT", table("SSDT", 40, 40, 'b')}});
    root->addChild(kIODeviceTreePlane, "c", {}, {{"SSDT", table("SSDT", 40, 40, 'c')}, {"DSDT", table("DSDT", 60, 60)}});
    writeFile(acpi.filePath("SSDT-1.aml"), table("SSDT", 40, 40, 'a'));
    writeFile(acpi.filePath("SSDT-02.aml"), "kept");
    QFile::link(acpi.filePath("victim"), acpi.filePath("SLIC.aml"));
    for (const char* name : {"B.AML", ".hidden.aml", "x.aml.txt", "aml", ".aml", "sub/c.aml"})
        writeFile(acpi.filePath(name), "x");
    QDir().mkpath(acpi.filePath("dir.aml"));

    EXPECT_EQ(supplement(), 4);
    EXPECT_EQ(written(), (QStringList{"APIC-02.aml", "APIC.aml", "B.AML", "DSDT.aml", "SSDT-02.aml", "SSDT-03.aml", "SSDT-1.aml",
                                      "aml", "x.aml.txt"}));
    EXPECT_EQ(file("DSDT.aml"), table("DSDT", 60, 60));
    EXPECT_EQ(file("SSDT-02.aml"), "kept");
    EXPECT_EQ(file("SSDT-03.aml"), table("SSDT", 40, 40, 'c'));
    // "ACPI Tables" comes before "APIC" in the entry's property order.
    EXPECT_EQ(file("APIC.aml"), table("APIC", 44, 44, '2'));
    EXPECT_EQ(file("APIC-02.aml"), table("APIC", 44, 44, '1'));
    EXPECT_FALSE(QFileInfo::exists(acpi.filePath("victim")));

    EXPECT_EQ(supplement(), 0);
    EXPECT_EQ(acpiTableFiles(acpi.path()), (QStringList{".hidden.aml", "APIC-02.aml", "APIC.aml", "B.AML", "DSDT.aml", "SLIC.aml",
                                                        "SSDT-02.aml", "SSDT-03.aml", "SSDT-1.aml", "dir.aml"}));
    EXPECT_TRUE(acpiTableFiles(acpi.filePath("missing")).isEmpty() && acpiTableFiles(acpi.filePath("B.AML")).isEmpty());
    EXPECT_TRUE(extractNativeACPITablesIfNeeded(&registry, acpi.filePath("missing")) == 0
                && extractNativeACPITablesIfNeeded(nullptr, acpi.path()) == 0);
}

// Found under any name, one level down in dictionaries too, filed under their own wanted signature.
TEST_F(NativeACPITablesTest, TakesOnlyWantedTablesWithAPlausibleHeader)
{
    root->properties = {
        {"dsdt", table("SSDT", 36, 36)},                    // lower-case name of a wanted table
        {"FACP", table("OEMX", 36, 36)},                    // unwanted signature under a wanted name
        {"vendor-blob", table("OEMY", 36, 36)},             // neither wanted
        {"APIC", table("SsDT", 36, 36)},                    // lower-case letter in the signature
        {"ECDT", table("EC\xc3\xa9", 36, 36)},              // signature not ASCII
        {"HPET", table("HPET", 44, 40)},                    // shorter than its header says
        {"MCFG", table("MCFG", 44, 100)},                   // longer: written whole
        {"WAET", table("WAET", 36, 35)},                    // shorter than a header
        {"SRAT", table("SRAT", 35, 50)},                    // declares less than a header
        {"BGRT", table("BGRT", 0xFFFFFFFF, 50)},            // declares more than memory holds
        {"ACPI Tables", QVariantMap{{"FACS", table("FACS", 64, 64)}, {"note", "text"},
                                    {"deeper", QVariantMap{{"HEST", table("HEST", 36, 36)}}}}},
        {"list", QVariantList{table("BERT", 36, 36)}},
        {"number", qint64(5)},
    };
    // Two links back to the entry itself: the walk still ends.
    root->serviceChildren.push_back(root);
    root->serviceChildren.push_back(root);
    EXPECT_EQ(supplement(), 4);
    root->serviceChildren.clear();
    EXPECT_EQ(written(), (QStringList{"FACS.aml", "MCFG.aml", "OEMX.aml", "SSDT-01.aml"}));
    EXPECT_EQ(file("MCFG.aml").size(), 100);
    EXPECT_TRUE(acpiTableHeaderLooksValid(table("ASF!", 36, 36), "ASF!"));
}

QByteArray record(const QByteArray& kind, const QByteArray& name, const QByteArray& b)
{
    return kind + ' ' + QByteArray::number(b.size()) + ' ' + name + '\n' + b + '\n';
}

const QByteArray kStart = "VELKOR-PRIVILEGED 1\n";

// Reading stops at the first record that breaks a rule; what came before it stays.
TEST(PrivilegedHandover, ARecordThatBreaksARuleEndsTheReading)
{
    const QByteArray table = record("table", "APIC.aml", "APIC");
    const std::pair<QByteArray, const char*> cases[] = {
        {"", "it printed nothing"},
        {"Error executing command\n", "its output does not begin with “VELKOR-PRIVILEGED 1”"},
        {kStart + table, "its output ends before its last record"},
        {kStart + table + "table 4\n", "a record header is malformed"},
        {kStart + table + record("shell", "x", "rm -rf /"), "a record is of an unknown kind"},
        {kStart + table + "table -4 A.aml\n", "a record header is malformed"},
        {kStart + table + record("table", "BIG.aml", QByteArray(16 * 1024 * 1024 + 1, 'x')), "a table record is larger than allowed"},
        {kStart + table + record("dmi", "product_serial", QByteArray(257, 'x')), "a dmi record is larger than allowed"},
        {kStart + table + "table 10 B.aml\nBBBB\n", "a table record is cut short"},
        {kStart + table + "table 4 B.aml\nBBBBX", "a table record is cut short"},
        {kStart + table + record("table", "../B.aml", "B"), "a table record is named “../B.aml”"},
        {kStart + table + record("table", "sub/B.aml", "B"), "a table record is named “sub/B.aml”"},
        {kStart + table + record("table", ".B.aml", "B"), "a table record is named “.B.aml”"},
        {kStart + table + record("table", "B.sh", "B"), "a table record is named “B.sh”"},
        {kStart + table + record("table", "APIC.aml", "again"), "a table record repeats"},
        {kStart + table + record("output", "../../.bashrc", "x"), "an output record has a name of its own"},
        {kStart + table + record("efi-root", "/home/ann/EFI", ""), "an EFI root record names a folder that was not asked for"},
        {kStart + table + record("efi", "/boot/efi/EFI/OC/config.plist", "x"), "an EFI record names a file that was not asked for"},
        {kStart + table + record("efi-root", "/boot/efi/EFI", "") + record("efi", "/boot/efi/EFI/../../../etc/shadow", "x"),
         "an EFI record names a file that was not asked for"},
        {kStart + table + record("xhci", "../reg-ext-protocol:00", "x"), "an xHCI record is named “../reg-ext-protocol:00”"},
        {kStart + table + record("dmi", "../../etc/passwd", "x"), "a DMI record is named “../../etc/passwd”"},
        {kStart + table + QByteArray(5000, 'x') + "\n", "a record header is malformed"},
    };
    const PrivilegedRequest request{{}, {}, {"/boot/efi/EFI", "/efi/EFI"}, {}, {}};
    for (const auto& [output, problem] : cases) {
        SCOPED_TRACE(problem);
        const PrivilegedHandover handover = parsePrivilegedHandover(output, request);
        EXPECT_EQ(handover.problem, QString::fromUtf8(problem));
        EXPECT_FALSE(handover.complete);
        EXPECT_EQ(handover.started, output.startsWith(kStart));
        EXPECT_TRUE(!handover.started || (!handover.tables.empty() && handover.tables[0].first == "APIC.aml"));
    }
}

// Hands back fixed output, as a run that printed it would.
struct CannedAdministratorRunner : AdministratorRunner {
    CannedAdministratorRunner(const QByteArray& out, const QString& problem) : output{out, problem.isEmpty() ? 0 : 1, problem} {}
    AdministratorRunOutput runScriptAsAdministrator(const QString&, const AdministratorRunLimits&) override { return output; }
    AdministratorRunOutput output;
};

// A machine below a folder whose name can hold any character, with all that root reads.
class PrivilegedExtractionTest : public ::testing::Test {
protected:
    void SetUp() override { if (::geteuid() != 0) GTEST_SKIP() << "the setup script runs as root"; }
    // patchmatic writes two tables on the runs listed (counting from 1), else it fails.
    void layOut(const QString& name, const QString& writesOnRun = "1")
    {
        base = root.filePath(name);
        platform.bundle = AppBundle::atBundlePath(base + "/apps/Velkor.app", base + "/home");
        acpi = base + "/home/Desktop/SendToZantro_Work/ACPI";
        QDir().mkpath(acpi);
        platform.temporaryDirectory = base + "/tmp";
        QDir().mkpath(platform.temporaryDirectory);
        platform.administrator = runner;
        platform.registry = std::make_shared<TreeRegistry>(registryRoot = std::make_shared<TreeRegistryNode>());
        platform.privilegedFacts = std::make_shared<PrivilegedFactsStore>();
        patchmatic = writeScript(platform.bundle.toolsPath() + "/patchmatic", QStringLiteral(
            "runs=\"$(dirname \"$0\")/runs\"\nn=$(( $(cat \"$runs\" 2>/dev/null || echo 0) + 1 )); echo $n > \"$runs\"\n"
            "echo \"patchmatic run $n: $*\"\n"
            "case \" %1 \" in *\" $n \"*) printf 'DSDT....' > DSDT.aml; printf 'SSDT....' > SSDT-1.aml; echo wrote 2 ;; *) exit 1 ;; esac")
            .arg(writesOnRun));
        platform.machineRoot = base + "/machine/";
        const QString dmi = base + "/machine/sys/class/dmi/id/", xhci = base + "/machine/sys/kernel/debug/usb/xhci/0000:00:14.0/";
        writeFile(dmi + "product_serial", " C02XK1ZZJV3Q \n");
        writeFile(dmi + "board_serial", "C0273930\x01 0CDJ\n"); // a control character: dropped
        writeFile(dmi + "chassis_serial", "  \n");              // only blanks: dropped
        writeFile(dmi + "product_uuid", "0f3d2a41-7b7e-4c55-9e2b-3a5f6b7c8d9e\n");
        writeFile(xhci + "reg-ext-protocol:00", "EXTCAP_REVISION = 0x02000802\nEXTCAP_PORTINFO = 0x20000a01\n");
        writeFile(xhci + "reg-ext-protocol:01", "EXTCAP_REVISION = 0x03100802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x10000611\n");
        int n = 2; // capabilities that name no ports
        for (const char* text : {"", "EXTCAP_REVISION = 0x03000802\n", "EXTCAP_PORTINFO = 0x00000401\n",
                                 "EXTCAP_REVISION = zz\nEXTCAP_PORTINFO = 0x00000401\n",
                                 "EXTCAP_REVISION = 0x03000802\nEXTCAP_PORTINFO = 0x00000400\n",
                                 "EXTCAP_REVISION = 0x03000802\nEXTCAP_PORTINFO = 0x00000001\n"})
            writeFile(xhci + QString("reg-ext-protocol:%1").arg(n++, 2, 10, QChar('0')), text);
        efi = base + "/boot/efi/EFI";
        writeFile(efi + "/CLOVER/config.plist", "<plist>clover</plist>");
        writeFile(efi + "/OC/config.plist", "<plist>oc</plist>");
        platform.efiRoots = {base + "/not mounted/EFI", efi, base + "/later"};
        writeFile(base + "/kernel.log", "kernel: line one\n");
        platform.commands.bootLogDump = {"/bin/cat", {base + "/kernel.log"}};
        platform.commands.kernelWarningsDump = {"/bin/sh", {"-c", "echo '<3>[ 42.1] ACPI Error: AE_NOT_FOUND'"}};
        log.lines.clear();
    }
    QString output() const { return readText(acpi + "/patchmatic-output.txt"); }
    void extract() { extractACPIWithValidation(context, patchmatic, acpi); }

    QTemporaryDir root;
    QString base, acpi, efi, patchmatic;
    std::shared_ptr<TreeRegistryNode> registryRoot;
    std::shared_ptr<FakeAdministratorRunner> runner = std::make_shared<FakeAdministratorRunner>();
    Platform platform;
    RecordingLog log;
    StepContext context{log, platform};
};

// Any folder name gives the same run: words quoted for bash, script and root's folder private and gone, links and FIFOs
// in the ACPI folder replaced, firmware identity only in the audit's list, OC read only where no one else could swap it.
TEST_F(PrivilegedExtractionTest, OneRunWhateverThePathsHold)
{
    const std::tuple<const char*, const char*, int> cases[] = { // folder name, change in EFI/OC, configurations root reads
        {"plain", "true", 2},
        {"it's", "chmod 777 .", 1},                                         // a folder others can write
        {"say \"cheese\"", "chmod 775 ..", 0},                              // a group-writable folder above both
        {"back\\slash", "chmod 1777 .", 2},                                 // a shared folder holding root's file
        {"two words", "chmod 1777 . && chown 65534:65534 config.plist", 1}, // ... or another's
        {"Zoë Ünïcødé ∂", "mv config.plist real.plist && ln -s \"$PWD/real.plist\" config.plist", 1},
        {"all ' \" \\ é $x `y`", "rm config.plist && mkfifo config.plist", 1},
    };
    for (const auto& [name, changeOpenCore, configsRead] : cases) {
        SCOPED_TRACE(name);
        layOut(name);
        ASSERT_EQ(runProcessRaw("/bin/sh", {"-c", changeOpenCore}, efi + "/OC", 10).exitStatus, 0);
        registryRoot->properties = {{"ACPI Tables", QVariantMap{{"APIC", table("APIC", 44, 44)}, {"FACP", table("FACP", 40, 40)}}}};
        if (name == QString("plain"))
            platform.temporaryDirectory.clear(); // the system's temporary folder is used
        writeFile(acpi + "/stale.aml", "old");
        writeFile(acpi + "/keep.txt", "kept");
        QFile::link(base + "/kernel.log", acpi + "/patchmatic-output.txt");
        QFile::link(base + "/kernel.log", acpi + "/SSDT-1.aml");
        ASSERT_EQ(::mkfifo(QFile::encodeName(acpi + "/DSDT.aml").constData(), 0600), 0);

        extract();

        EXPECT_EQ(log.lines, (QStringList{kStartedAndFinished, "Native ACPI table supplement added 2 table(s), including APIC when available.",
                                          "ACPI extracted successfully with patchmatic: 4 AML file(s)."}));
        EXPECT_EQ(runner->standardError.last(), "");
        EXPECT_EQ(readText(base + "/kernel.log"), "kernel: line one\n");
        EXPECT_EQ(QDir(acpi).entryList(QDir::Files | QDir::NoSymLinks, QDir::Name),
                  (QStringList{"APIC.aml", "DSDT.aml", "FACP.aml", "SSDT-1.aml", "keep.txt", "patchmatic-output.txt"}));
        EXPECT_EQ(readText(acpi + "/SSDT-1.aml"), "SSDT....");
        // Root worked in a folder of its own below /run, gone once the run ended.
        const QString work = output().section('\n', 1, 1).section(": ", 1);
        EXPECT_TRUE(QRegularExpression("^/run/velkor-privileged\\.[A-Za-z0-9]{8}/tables$").match(work).hasMatch()) << work.toStdString();
        EXPECT_FALSE(QFileInfo::exists(QFileInfo(work).path()));
        EXPECT_EQ(output(), "[privileged] extracting ACPI with bundled patchmatic: " + patchmatic + "\n[privileged] working directory: " + work
                                + "\npatchmatic run 1: -extract\nwrote 2\n[privileged] patchmatic exit status: 0\n[privileged] AML count: 2\n");

        const QString script = runner->scriptPaths.last();
        EXPECT_EQ(script.section('/', -1), QString("quorvexgen_privileged_setup_%1.sh").arg(::getpid()));
        EXPECT_EQ(QFileInfo(QFileInfo(script).path()).path(), platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : platform.temporaryDirectory);
        EXPECT_EQ(runner->folderModes.back(), S_IFDIR | 0700u);
        EXPECT_EQ(runner->scriptModes.back(), S_IFREG | 0755u);
        EXPECT_TRUE(runner->scriptTexts.last().startsWith(
            "#!/bin/bash\nset -u\nexport PATH=/usr/bin:/bin:/usr/sbin:/sbin\nexport LC_ALL=C\numask 077\n"));
        EXPECT_FALSE(QFileInfo::exists(QFileInfo(script).path()));

        const auto facts = platform.privilegedFacts->current();
        EXPECT_EQ(facts->bootLog, QByteArray("kernel: line one\n"));
        EXPECT_EQ(facts->kernelWarnings, QByteArray("<3>[ 42.1] ACPI Error: AE_NOT_FOUND\n"));
        EXPECT_EQ(facts->efiRoot, efi);
        std::map<QString, QByteArray> configs{{efi + "/CLOVER/config.plist", "<plist>clover</plist>"},
                                              {efi + "/OC/config.plist", "<plist>oc</plist>"}};
        configs.erase(std::next(configs.begin(), configsRead), configs.end());
        EXPECT_EQ(facts->efiConfigs, configs);
        EXPECT_EQ(facts->xhciPortRanges, (std::map<QString, std::vector<XhciPortRange>>{{"0000:00:14.0", {{2, 0, 1, 10}, {3, 16, 17, 6}}}}));
        QStringList ids;
        for (const MachineIdentifier& id : facts->firmwareIdentifiers)
            ids << identifierKindName(id.kind) + ": " + id.value;
        EXPECT_EQ(ids, QStringList({"serial number: C02XK1ZZJV3Q", "UUID: 0f3d2a41-7b7e-4c55-9e2b-3a5f6b7c8d9e"}));
    }
}

// What root, the direct run and the registry each add; a damaged or refused run; the note left.
TEST_F(PrivilegedExtractionTest, TablesComeFromRootThenTheDirectRunThenTheRegistry)
{
    const QByteArray start = "VELKOR-PRIVILEGED 1\nlog 27 -\n[privileged] setup started\n\ntable 8 APIC.aml\nAPIC....\n";
    const auto declined = std::make_shared<DecliningAdministratorRunner>();
    const QString direct = "\n\n[direct fallback]\npatchmatic run %1: -extract\n";
    const struct {
        const char *name, *writesOnRun;
        std::shared_ptr<AdministratorRunner> administrator; // none: the script runs
        QVariantMap registry;                               // the properties of the registry's root
        QStringList log, tables;
        int runs;
        QString outputEnd;
    } cases[] = {
        {"direct", "2", {}, {}, {kStartedAndFinished, kFallback, "ACPI extracted successfully after fallback: 2 AML file(s)."},
         {"DSDT.aml", "SSDT-1.aml"}, 2, "[privileged] patchmatic exit status: 1\n[privileged] AML count: 0\n" + direct.arg(2) + "wrote 2\n"},
        {"registry", "", {}, {{"APIC", table("APIC", 44, 44)}},
         {kStartedAndFinished, kFallback, "ACPI extracted successfully after fallback: 1 AML file(s)."},
         {"APIC.aml"}, 2,
         "[privileged] patchmatic exit status: 1\n[privileged] AML count: 0\n\n\n[direct fallback failure]\nCommand failed: PATCHMATIC -extract\n"
         "patchmatic run 2: -extract\n\n\n\n[native IOKit ACPI table supplement]\nAdded 1 table(s) from IODeviceTree/IOService properties.\n"},
        {"nothing", "", {}, {},
         {kStartedAndFinished, kFallback,
          "WARNING: ACPI extraction produced 0 AML files. ACPI-extraction-failed.txt was written and collection will continue."},
         {}, 2, "[privileged] AML count: 0\n\n\n[direct fallback failure]\nCommand failed: PATCHMATIC -extract\npatchmatic run 2: -extract\n\n"},
        // Tables that came before the damage count; without any, the direct run steps in.
        {"timed out", "1", std::make_shared<CannedAdministratorRunner>(start + "table 8 DSDT.aml\nDSDT", "it took longer than 180 s"), {},
         {"[privileged] setup started\n", "WARNING: The administrator run did not finish cleanly: it took longer than 180 s.",
          "WARNING: Velkor did not accept all the administrator run handed back: a table record is cut short.",
          "ACPI extracted successfully with patchmatic: 1 AML file(s)."}, {"APIC.aml"}, 0, ""},
        {"bash failed", "1", std::make_shared<CannedAdministratorRunner>("", "it ended with exit status 1"), {},
         {"WARNING: The administrator run did not finish cleanly: it ended with exit status 1.", kFallback,
          "ACPI extracted successfully after fallback: 2 AML file(s)."},
         {"DSDT.aml", "SSDT-1.aml"}, 1, direct.arg(1) + "wrote 2\n"},
        // A declined prompt ends the step, with no direct run and nothing left behind.
        {"declined", "1", declined, {}, {}, {}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        layOut(c.name, c.writesOnRun);
        platform.administrator = c.administrator ? c.administrator : runner;
        registryRoot->properties = c.registry;
        QString thrown;
        try {
            extract();
        } catch (const CollectorError& error) {
            thrown = error.description();
        }
        EXPECT_EQ(thrown, c.administrator == declined ? declined->message : "");
        EXPECT_EQ(log.lines, c.log);
        EXPECT_EQ(QDir(acpi).entryList({"*.aml"}, QDir::Files, QDir::Name), c.tables);
        EXPECT_EQ(readText(platform.bundle.toolsPath() + "/runs").toInt(), c.runs);
        const QString outputEnd = QString(c.outputEnd).replace("PATCHMATIC", patchmatic);
        EXPECT_EQ(output().right(outputEnd.size()), outputEnd) << output().toStdString();
        EXPECT_EQ(readText(acpi + "/ACPI-extraction-failed.txt"),
                  c.log.isEmpty() || !c.tables.isEmpty() ? "" : "ACPI extraction finished with 0 AML files. See patchmatic-output.txt for "
                                                                "details.\nThe collection continues so the final ZIP is still generated.\n");
        EXPECT_TRUE(QDir(platform.temporaryDirectory).isEmpty());
        EXPECT_TRUE(thrown.isEmpty() || QDir(acpi).isEmpty());
    }
}

TEST_F(PrivilegedExtractionTest, ScriptsAndFilesThatCannotBeWrittenOrRunFail)
{
    layOut("unwritable", "");
    platform.temporaryDirectory = base + "/no such folder";
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, acpi), PlatformError);
    EXPECT_TRUE(runner->scriptPaths.isEmpty());
    platform.administrator.reset();
    EXPECT_THROW(runPrivilegedSetupOnce(context, patchmatic, acpi), CollectorError);

    // Neither the failure note nor the output can be written: a folder stands in their place.
    platform.administrator = runner;
    platform.temporaryDirectory = base + "/tmp";
    QDir().mkpath(acpi + "/ACPI-extraction-failed.txt");
    EXPECT_THROW(extract(), PlatformError);
    QDir(acpi).removeRecursively();
    QDir().mkpath(acpi + "/patchmatic-output.txt/inside");
    EXPECT_THROW(extract(), PlatformError);
}

} // namespace
} // namespace velkor
