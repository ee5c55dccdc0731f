// Whole runs as an ordinary user (created here), with umask 077 and a stand-in for pkexec that
// runs the administrator step as root: what root hands over reaches the package with the
// user's rights, a process of the user gains nothing by swapping names while the prompt is
// open, no prompt is a warning, and quitting during the prompt leaves nothing behind.
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

using testing::readText;
using testing::writeFile;

constexpr int kMostRunMilliseconds = 300000;

const QString kSerial = QStringLiteral("C02XK1ZZJV3Q");
const QString kBoardSerial = QStringLiteral("C0273930X0CDJ");
const QByteArray kOpenCoreConfig = QByteArray(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<!-- r\xe9glages -->
	<key>PlatformInfo</key>
	<dict>
		<key>SystemSerialNumber</key>
		<string>C02XK1ZZJV3Q</string>
		<key>ChassisSerialNumber</key>
		<string>C02CHASSIS77Q</string>
	</dict>
</dict>
</plist>
)").replace("r\\xe9glages", "r\xe9glages"); // one Latin-1 byte: the file is not UTF-8
// A USB network adapter, named by udev after its MAC address; the kernel log prints the name.
const QByteArray kUsbAdapterMac = "8c:16:45:12:34:56";
const QByteArray kUsbAdapterName = "enx8c1645123456";

void setOwnerAndMode(const QString& path, uid_t owner, gid_t group, mode_t mode)
{
    const QByteArray name = QFile::encodeName(path);
    if (::lchown(name.constData(), owner, group) != 0 || ::chmod(name.constData(), mode) != 0)
        throw std::runtime_error("cannot set owner and mode of " + path.toStdString());
}

void writeOwned(const QString& path, const QByteArray& bytes, uid_t owner, gid_t group, mode_t mode)
{
    writeFile(path, bytes);
    setOwnerAndMode(path, owner, group, mode);
}

// Everything below a folder, links and FIFOs included, never followed.
QFileInfoList entriesBelow(const QString& folder)
{
    QFileInfoList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries.append(it.fileInfo());
    }
    return entries;
}

// What must never change: name, owner, mode, size, time and content of every root file.
QStringList fingerprint(const QString& folder)
{
    QStringList lines;
    for (const QFileInfo& entry : entriesBelow(folder)) {
        struct stat info {};
        ::lstat(QFile::encodeName(entry.filePath()).constData(), &info);
        lines.append(QStringLiteral("%1 %2 %3 %4 %5 %6")
                         .arg(entry.filePath())
                         .arg(info.st_uid)
                         .arg(info.st_mode, 0, 8)
                         .arg(info.st_size)
                         .arg(info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec)
                         .arg(QString::fromLatin1(testing::readFile(entry.filePath()).toHex())));
    }
    lines.sort();
    return lines;
}

// A process that still runs; one that ended but was not reaped yet (a zombie) does not.
bool running(pid_t pid)
{
    const QByteArray stat = testing::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype end = stat.lastIndexOf(')');
    return end > 0 && stat.size() > end + 2 && stat.at(end + 2) != 'Z';
}

// Root's own folder of a running setup script: where the output of the command it waits for goes.
QString rootsFolderOf(pid_t script)
{
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray stat = testing::readFile("/proc/" + entry + "/stat");
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields[1].toInt() != script)
            continue;
        const QString output = QFile::symLinkTarget("/proc/" + entry + "/fd/1");
        if (output.startsWith("/run/velkor-privileged."))
            return QFileInfo(output).path();
    }
    return {};
}

class UnprivilegedRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0 || !QFileInfo::exists("/usr/sbin/useradd") || !QFileInfo::exists("/usr/bin/setpriv"))
            return;
        s_user = QStringLiteral("velkor%1").arg(::getpid());
        const ProcessOutcome added = runProcessRaw("/usr/sbin/useradd", {"-M", "-U", "-s", "/bin/sh", s_user}, std::nullopt, 30);
        const passwd* account = added.exitStatus == 0 ? ::getpwnam(s_user.toLocal8Bit().constData()) : nullptr;
        if (!account) {
            s_user.clear();
            return;
        }
        s_uid = account->pw_uid;
        s_gid = account->pw_gid;
        // The build folder may be out of the user's reach (below /root): the run and the bundle
        // are copied where the user may read them.
        s_programs = new QTemporaryDir();
        setOwnerAndMode(s_programs->path(), 0, 0, 0755);
        const ProcessOutcome copied = runProcessRaw(
            "/bin/cp", {"-a", QStringLiteral(VELKOR_RUN_ONCE), QStringLiteral(VELKOR_BUNDLE_DIR), s_programs->path()}, std::nullopt, 120);
        if (copied.exitStatus != 0)
            throw std::runtime_error("cannot copy the program: " + copied.output.toStdString());
    }
    static void TearDownTestSuite()
    {
        if (!s_user.isEmpty())
            runProcessRaw("/usr/sbin/userdel", {s_user}, std::nullopt, 30);
        delete s_programs;
        s_programs = nullptr;
    }

    void SetUp() override
    {
        if (s_user.isEmpty())
            GTEST_SKIP() << "needs root, useradd and setpriv";
        base = dir.path();
        setOwnerAndMode(base, 0, 0, 0755);
        // The user's own home, Desktop and temporary folder.
        for (const QString& folder : {home(), desktop(), temporary()}) {
            QDir().mkpath(folder);
            setOwnerAndMode(folder, s_uid, s_gid, 0700);
        }
        // The stand-in pkexec, setuid root, for this user only.
        const QString pkexec = base + "/pkexec";
        QDir().mkpath(pkexec);
        setOwnerAndMode(pkexec, 0, s_gid, 0750);
        QFile::copy(QStringLiteral(VELKOR_STANDIN_PKEXEC), pkexec + "/standin");
        setOwnerAndMode(pkexec + "/standin", 0, 0, 04755);
        for (const char* outcome : {"accept", "answer-later", "hang", "no-agent"})
            QFile::link(pkexec + "/standin", pkexec + "/pkexec-" + outcome);

        // What only root may read: firmware identity, an EFI partition mounted 0700, a log.
        const QString dmi = machine() + "/sys/class/dmi/id/";
        writeOwned(dmi + "product_serial", kSerial.toUtf8() + "\n", 0, 0, 0400);
        writeOwned(dmi + "board_serial", kBoardSerial.toUtf8() + "\n", 0, 0, 0400);
        writeOwned(dmi + "chassis_serial", "CHS-7731-0042\n", 0, 0, 0400);
        writeOwned(dmi + "product_uuid", "0f3d2a41-7b7e-4c55-9e2b-3a5f6b7c8d9e\n", 0, 0, 0400);
        writeOwned(machine() + "/kernel.log", "kernel: Linux version 6.1\nkernel: DMI: board " + kBoardSerial.toUtf8() + " ready\n"
                   "kernel: cdc_ether 2-1:1.0 " + kUsbAdapterName + ": renamed from eth0\n", 0, 0, 0600);
        writeOwned(machine() + "/sys/class/net/" + kUsbAdapterName + "/address", kUsbAdapterMac + "\n", 0, 0, 0644);
        for (const QString& folder : {QString("/sys/class/net/" + kUsbAdapterName), QString("/sys/class/net"), QString("/sys/class"), QString("/sys")})
            setOwnerAndMode(machine() + folder, 0, 0, 0755);
        // Others may look up names below the machine's root, never list it.
        setOwnerAndMode(machine(), 0, 0, 0711);
        writeOwned(efiRoot() + "/OC/config.plist", kOpenCoreConfig, 0, 0, 0600);
        setOwnerAndMode(base + "/esp", 0, 0, 0700);

        // Files of root's that a link may point to: readable or not, in a folder others may
        // enter or not.
        writeOwned(base + "/victims/secret", "root secret\n", 0, 0, 0600);
        writeOwned(base + "/victims/public", "root public\n", 0, 0, 0644);
        writeOwned(base + "/rootonly/patchmatic-output.txt", "root's own output\n", 0, 0, 0600);
        writeOwned(base + "/rootonly/DSDT.aml", "root's own table\n", 0, 0, 0600);
        setOwnerAndMode(base + "/rootonly", 0, 0, 0700);
    }

    // A test that stopped half-way leaves no stand-in behind (userdel would refuse the user).
    void TearDown() override
    {
        const pid_t left = readText(promptOpen()).trimmed().toInt();
        if (left > 0 && running(left))
            ::kill(left, SIGKILL);
    }

    QString home() const { return base + "/home"; }
    QString desktop() const { return home() + "/Desktop"; }
    QString temporary() const { return home() + "/tmp"; }
    QString work() const { return desktop() + "/SendToZantro_Work"; }
    QString machine() const { return base + "/machine"; }
    QString efiRoot() const { return base + "/esp/EFI"; }
    QString promptOpen() const { return base + "/pkexec/prompt-open"; }

    // A command line of the user's, with umask 077.
    void startAsUser(QProcess& process, const QStringList& command)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home());
        environment.insert("USER", s_user);
        environment.insert("LOGNAME", s_user);
        environment.remove("XDG_RUNTIME_DIR");
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(home());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("/usr/bin/setpriv", QStringList{"--reuid", QString::number(s_uid), "--regid", QString::number(s_gid),
                                                      "--clear-groups", "--", "/bin/sh", "-c", "umask 077; exec \"$0\" \"$@\""}
                                              + command);
        ASSERT_TRUE(process.waitForStarted(10000));
    }
    void startRun(QProcess& process, const QString& pkexecOutcome, const QString& bootLog = {})
    {
        startAsUser(process, {s_programs->filePath(QFileInfo(QStringLiteral(VELKOR_RUN_ONCE)).fileName()),
                              s_programs->filePath("Velkor.app"), desktop(), temporary(),
                              base + "/pkexec/pkexec-" + pkexecOutcome, machine(), efiRoot(),
                              bootLog.isEmpty() ? machine() + "/kernel.log" : bootLog});
    }
    // Waits for the run; a run that does not end is a failure of its own.
    QString finish(QProcess& process)
    {
        if (!process.waitForFinished(kMostRunMilliseconds)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "the run did not end";
        }
        return QString::fromUtf8(process.readAll());
    }
    // Waits until the stand-in has written its process id; returns it.
    pid_t waitForPrompt()
    {
        for (int waited = 0; !readText(promptOpen()).endsWith('\n') && waited < kMostRunMilliseconds; waited += 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return readText(promptOpen()).trimmed().toInt();
    }
    // A member of the archive, through unzip.
    QString unpacked(const QString& member)
    {
        return QString::fromUtf8(
            runProcessRaw("/usr/bin/unzip", {"-p", desktop() + "/SendToZantro.zip", "SendToZantro_Work/" + member}, std::nullopt, 30).output);
    }
    QStringList rootOwnedBelow(const QString& folder)
    {
        QStringList found;
        for (const QFileInfo& entry : entriesBelow(folder)) {
            struct stat info {};
            if (::lstat(QFile::encodeName(entry.filePath()).constData(), &info) == 0 && info.st_uid != s_uid)
                found.append(entry.filePath());
        }
        return found;
    }

    static QString s_user;
    static QTemporaryDir* s_programs;
    static uid_t s_uid;
    static gid_t s_gid;
    QTemporaryDir dir;
    QString base;
};

QString UnprivilegedRunTest::s_user;
QTemporaryDir* UnprivilegedRunTest::s_programs = nullptr;
uid_t UnprivilegedRunTest::s_uid = 0;
gid_t UnprivilegedRunTest::s_gid = 0;

TEST_F(UnprivilegedRunTest, WithRootsHelpThePackageHoldsWhatOnlyRootCanRead)
{
    QProcess run;
    startRun(run, "accept");
    const QString log = finish(run);
    ASSERT_EQ(run.exitCode(), 0) << log.toStdString();

    // umask 077 and a root-run step: the archive is made, and all on the Desktop is the user's.
    EXPECT_EQ(QDir(desktop()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"SendToZantro.zip"});
    EXPECT_EQ(rootOwnedBelow(desktop()), QStringList());
    EXPECT_FALSE(log.contains("WARNING: No administrator prompt")) << log.toStdString();

    const QString bootLog = unpacked("bootlog.txt");
    EXPECT_TRUE(bootLog.startsWith("kernel: Linux version 6.1\nkernel: DMI: board ")) << bootLog.toStdString();
    EXPECT_FALSE(bootLog.contains(kBoardSerial));
    const QString openCore = unpacked("OC-config.plist");
    EXPECT_TRUE(openCore.contains("<key>SystemSerialNumber</key>")) << openCore.toStdString();
    EXPECT_FALSE(openCore.contains(kSerial));
    EXPECT_TRUE(log.contains("OC config.plist copied as OC-config.plist and sanitized at root."));
    // No planted value anywhere in the archive, the bootloader's identity and the adapter's MAC included.
    QTemporaryDir everything;
    runProcessRaw("/usr/bin/unzip", {"-q", desktop() + "/SendToZantro.zip", "-d", everything.path()}, std::nullopt, 30);
    QStringList leaks;
    for (const QFileInfo& entry : entriesBelow(everything.path())) {
        const QByteArray content = testing::readFile(entry.filePath()).toLower();
        for (const QByteArray& planted : {kSerial.toUtf8(), kBoardSerial.toUtf8(), QByteArray("C02CHASSIS77Q"), QByteArray("8c1645123456"),
                                          kUsbAdapterMac})
            if (entry.isFile() && content.contains(planted.toLower()))
                leaks << entry.fileName() + " holds " + planted;
    }
    EXPECT_EQ(leaks, QStringList());

    // The audit looked for the three firmware serial numbers and the UUID root handed over.
    const QString audit = unpacked("privacy-audit.txt");
    const auto serials = QRegularExpression("^serial number: (\\d+) value\\(s\\) checked, (\\d+) occurrence", QRegularExpression::MultilineOption).match(audit);
    ASSERT_TRUE(serials.hasMatch()) << audit.toStdString();
    EXPECT_GE(serials.captured(1).toInt(), 3);
    EXPECT_GE(serials.captured(2).toInt(), 1);
    EXPECT_TRUE(audit.contains(QRegularExpression("^    bootlog.txt: \\d+$", QRegularExpression::MultilineOption))) << audit.toStdString();
    EXPECT_TRUE(audit.contains(QRegularExpression("^UUID: [1-9]\\d* value\\(s\\) checked", QRegularExpression::MultilineOption)));

    // The firmware tables, where the machine has them, came from root's run.
    if (QFileInfo::exists("/sys/firmware/acpi/tables/DSDT")) {
        EXPECT_EQ(unpacked("ACPI/DSDT.aml").toLatin1().left(4), "DSDT");
        EXPECT_TRUE(log.contains("ACPI extracted successfully with patchmatic: ")) << log.toStdString();
    }
    EXPECT_TRUE(unpacked("ACPI/patchmatic-output.txt").startsWith("[privileged] extracting ACPI with bundled patchmatic: "));
}

// While the prompt is open, a process of the user replaces the names in the work folder with
// links to root's files and with FIFOs; root writes nothing there, so it gains nothing.
TEST_F(UnprivilegedRunTest, SwappingNamesDuringThePromptChangesNoFileOfRootsAndHangsNothing)
{
    const QString attacker = base + "/attacker";
    writeFile(attacker, R"(#!/bin/sh
work=$1 victims=$2 rootonly=$3 how=$4
i=0
while [ $i -lt 20 ]; do
    if [ "$how" = folder ]; then
        rm -rf "$work/ACPI"; ln -s "$rootonly" "$work/ACPI"
    else
        for name in patchmatic-output.txt DSDT.aml APIC.aml FACP.aml SSDT-1.aml ACPI-extraction-failed.txt; do rm -f "$work/ACPI/$name"; done
        ln -s "$rootonly/patchmatic-output.txt" "$work/ACPI/patchmatic-output.txt"
        ln -s "$victims/secret" "$work/ACPI/APIC.aml"
        mkfifo "$work/ACPI/DSDT.aml" "$work/ACPI/FACP.aml"
    fi
    for name in bootlog.txt Pmset.txt OC-config.plist collector-log.txt privacy-audit.txt; do rm -f "$work/$name"; done
    ln -s "$victims/secret" "$work/bootlog.txt"
    ln -s "$victims/public" "$work/OC-config.plist"
    mkfifo "$work/Pmset.txt" "$work/collector-log.txt"
    i=$((i + 1))
    sleep 0.05
done
)");
    setOwnerAndMode(attacker, 0, 0, 0755);

    for (const char* how : {"names", "folder"}) {
        SCOPED_TRACE(how);
        QFile::remove(promptOpen());
        QFile::remove(base + "/pkexec/prompt-answered");
        QDir(work()).removeRecursively();
        QFile::remove(work());
        const QStringList rootFilesBefore = fingerprint(base + "/victims") + fingerprint(base + "/rootonly") + fingerprint(machine());

        QProcess run;
        startRun(run, "answer-later");
        ASSERT_GT(waitForPrompt(), 0);
        QProcess swapper;
        startAsUser(swapper, {attacker, work(), base + "/victims", base + "/rootonly", how});
        finish(swapper);
        writeFile(base + "/pkexec/prompt-answered", "yes");
        const QString log = finish(run);

        EXPECT_EQ(fingerprint(base + "/victims") + fingerprint(base + "/rootonly") + fingerprint(machine()), rootFilesBefore);
        const bool archived = run.exitCode() == 0 && log.contains("ZIP created successfully: ");
        const bool failedClearly = log.contains(QRegularExpression("\\] ERROR: \\S"));
        EXPECT_TRUE(archived || failedClearly) << log.toStdString();
        EXPECT_EQ(rootOwnedBelow(desktop()), QStringList());
    }
}

TEST_F(UnprivilegedRunTest, WithoutAnAgentTheRunWarnsAndPacksTheRest)
{
    QProcess run;
    startRun(run, "no-agent");
    const QString log = finish(run);
    ASSERT_EQ(run.exitCode(), 0) << log.toStdString();
    EXPECT_TRUE(log.contains("] WARNING: No administrator prompt could be shown: pkexec exit status 127: Error creating textual "
                             "authentication agent: "))
        << log.toStdString();
    EXPECT_TRUE(unpacked("ACPI/patchmatic-output.txt").startsWith("[privileged] no administrator run: pkexec exit status 127: "));
    for (const char* member : {"Pmset.txt", "ioreg.txt", "Portwright-report.txt", "privacy-audit.txt", "collector-log.txt"})
        EXPECT_FALSE(unpacked(member).isEmpty()) << member;
    EXPECT_EQ(rootOwnedBelow(desktop()), QStringList());
}

// Closing the window and a termination signal end a run alike.
TEST_F(UnprivilegedRunTest, QuittingDuringThePromptLeavesNoProcessAndNoTemporaryFolder)
{
    for (const int signal : {0, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        QProcess run;
        startRun(run, "hang");
        const pid_t prompt = waitForPrompt();
        ASSERT_GT(prompt, 0);
        if (signal == 0)
            run.write("quit\n");
        else
            ::kill(pid_t(run.processId()), signal);
        const QString output = finish(run);
        EXPECT_EQ(run.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains(QRegularExpression("quit: the run ended after \\d+ ms"))) << output.toStdString();
        EXPECT_FALSE(running(prompt));
        EXPECT_EQ(QDir(temporary()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QFile::remove(promptOpen());
    }
}

// Once root's script runs, the user cannot end it; it ends itself when Velkor is gone.
TEST_F(UnprivilegedRunTest, QuittingWhileRootsScriptRunsEndsItAndItsFolder)
{
    const QString slowLog = machine() + "/slow.log";
    ASSERT_EQ(::mkfifo(QFile::encodeName(slowLog).constData(), 0600), 0); // cat waits for a writer
    QProcess run;
    startRun(run, "accept", slowLog);
    const pid_t script = waitForPrompt();
    ASSERT_GT(script, 0);
    QString folder;
    for (int waited = 0; (folder = rootsFolderOf(script)).isEmpty() && waited < 60000; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(QFileInfo(folder).isDir()) << folder.toStdString();
    run.write("quit\n");
    const QString output = finish(run);
    EXPECT_EQ(run.exitCode(), 0) << output.toStdString();
    for (int waited = 0; running(script) && waited < 60000; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(running(script));
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_EQ(QDir(temporary()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

} // namespace
} // namespace velkor
