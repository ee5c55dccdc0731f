// Whole runs as an ordinary user created here, with umask 077 and a setuid stand-in for pkexec,
// on a machine that tests/data/collector/make-machine.sh builds.
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <pwd.h>
#include <sys/stat.h>

using namespace velkor;
using namespace velkor::testing;

// A process that still runs; one that ended but was not reaped (a zombie) does not.
bool running(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.isEmpty() && stat.at(stat.lastIndexOf(')') + 2) != 'Z';
}

class UnprivilegedRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        user = QStringLiteral("velkor%1").arg(::getpid());
        if (::geteuid() != 0 || runProcessRaw("/usr/sbin/useradd", {"-M", "-U", "-s", "/bin/sh", user}, std::nullopt, 30).exitStatus != 0)
            GTEST_SKIP() << "needs root and useradd";
        const passwd* account = ::getpwnam(user.toLocal8Bit().constData());
        uid = account->pw_uid, gid = account->pw_gid;
        ASSERT_EQ(runProcessRaw("/bin/sh", {testData("collector/make-machine.sh"), base, QString::number(uid), QString::number(gid),
                                            VELKOR_STANDIN_PKEXEC, VELKOR_RUN_ONCE, VELKOR_BUNDLE_DIR}, std::nullopt, 120).exitStatus, 0);
    }
    void TearDown() override
    {
        if (const pid_t left = readText(prompt).trimmed().toInt(); left > 0 && running(left))
            ::kill(left, SIGKILL);
        if (uid != 0)
            runProcessRaw("/usr/sbin/userdel", {user}, std::nullopt, 30);
    }

    // Name, owner, mode, size, time and content of each of root's files; what on the Desktop is not the user's.
    QString rootFiles() const { return runProcess("/usr/bin/find", {base + "/victims", base + "/rootonly", machine, "-printf",
                                                                    "%p %U %m %s %T@\n", "-type", "f", "-exec", "sha1sum", "{}", "+"},
                                                  std::nullopt, 30); }
    QString notTheUsers() const { return runProcess("/usr/bin/find", {desktop, "!", "-uid", QString::number(uid)}, std::nullopt, 30); }

    // A command of the user's, with umask 077.
    void startAsUser(QProcess& process, const QStringList& command)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("/usr/bin/setpriv", QStringList{"--reuid", QString::number(uid), "--regid", QString::number(gid), "--clear-groups",
                                                      "--", "/usr/bin/env", "-u", "XDG_RUNTIME_DIR", "HOME=" + base + "/home",
                                                      "USER=" + user, "/bin/sh", "-c",
                                                      "umask 077; exec \"$0\" \"$@\""} + command);
        ASSERT_TRUE(process.waitForStarted(10000));
    }
    void startRun(QProcess& run, const QString& bootLog = "/kernel.log")
    {
        startAsUser(run, {base + "/" + QFileInfo(VELKOR_RUN_ONCE).fileName(), base + "/Velkor.app", desktop, temporary,
                          base + "/pkexec/pkexec", machine, base + "/esp/EFI", machine + bootLog});
    }
    QString finish(QProcess& process) { return process.waitForFinished(300000) ? QString::fromUtf8(process.readAll()) : "it did not end"; }
    pid_t waitForPrompt() { return QTest::qWaitFor([&] { return readText(prompt).endsWith('\n'); }, 300000)
                                       ? readText(prompt).trimmed().toInt() : 0; }
    void answerPrompt() { writeFile(base + "/pkexec/prompt-answered", "yes"); }
    QString unpacked(const QString& member) { return runProcess("/usr/bin/unzip", {"-p", desktop + "/SendToZantro.zip",
                                                                                   "SendToZantro_Work/" + member}, std::nullopt, 30); }

    QTemporaryDir dir;
    QString base = dir.path(), user, desktop = base + "/home/Desktop", temporary = base + "/home/tmp", machine = base + "/machine",
            prompt = base + "/pkexec/prompt-open";
    uid_t uid = 0;
    gid_t gid = 0;
};

// The prompt answered at once; answered after a process of the user replaced names in the work
// folder with links to root's files and FIFOs (root writes nothing there); no agent to show it.
TEST_F(UnprivilegedRunTest, RunsWithThePromptAnsweredSwappedAroundOrMissing)
{
    for (const QString how : {"accept", "names", "folder", "no-agent"}) {
        SCOPED_TRACE(how.toStdString());
        QFile::remove(prompt);
        QFile::remove(base + "/pkexec/prompt-answered");
        if (how == "no-agent")
            writeFile(base + "/pkexec/no-agent", "");
        const QString before = rootFiles();
        QProcess run, swapper;
        startRun(run);
        const bool swapped = how == "names" || how == "folder";
        if (swapped) {
            ASSERT_GT(waitForPrompt(), 0);
            startAsUser(swapper, {base + "/swap-names.sh", desktop + "/SendToZantro_Work", base + "/victims", base + "/rootonly", how});
            finish(swapper);
        }
        answerPrompt();
        const QString log = finish(run);
        EXPECT_EQ(rootFiles(), before);
        EXPECT_EQ(notTheUsers(), "");
        // A swapped run may fail, clearly; the others make the archive.
        EXPECT_TRUE(run.exitCode() == 0 || (swapped && log.contains(QRegularExpression("\\] ERROR: \\S")))) << log.toStdString();
        if (how == "no-agent") {
            EXPECT_TRUE(log.contains("] WARNING: No administrator prompt could be shown: pkexec exit status 127: "
                                     "Error creating textual authentication agent: "));
            EXPECT_TRUE(unpacked("ACPI/patchmatic-output.txt").startsWith("[privileged] no administrator run: pkexec exit status 127: "));
        }
        if (how != "accept" || run.exitCode() != 0)
            continue;
        // What only root can read reached the package, masked: no planted value anywhere in it.
        EXPECT_EQ(QDir(desktop).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"SendToZantro.zip"});
        EXPECT_TRUE(unpacked("bootlog.txt").startsWith("kernel: Linux version 6.1\nkernel: DMI: board "));
        EXPECT_TRUE(unpacked("OC-config.plist").contains("<key>SystemSerialNumber</key>"));
        EXPECT_TRUE(unpacked("ACPI/patchmatic-output.txt").startsWith("[privileged] extracting ACPI with bundled patchmatic: "));
        EXPECT_EQ(runProcessRaw("/bin/sh", {"-c", "unzip -p \"$0\" | grep -iaF -e C02XK1ZZJV3Q -e C0273930X0CDJ -e C02CHASSIS77Q "
                                                  "-e 8c1645123456 -e 8c:16:45:12:34:56", desktop + "/SendToZantro.zip"},
                                std::nullopt, 30).output, "");
        // The audit looked for the firmware's three serial numbers and the UUID that root handed over.
        const QString audit = unpacked("privacy-audit.txt");
        EXPECT_TRUE(audit.contains(QRegularExpression("^serial number: ([3-9]|\\d\\d+) value\\(s\\) checked, [1-9]\\d* occurrence",
                                                      QRegularExpression::MultilineOption))) << audit.toStdString();
        EXPECT_TRUE(audit.contains(QRegularExpression("^UUID: [1-9]\\d* value\\(s\\) checked", QRegularExpression::MultilineOption)));
    }
}

// A termination signal ends a run as closing the window does: during the prompt, which the user
// may end, and while root's script runs, which ends itself and its folder once Velkor is gone.
TEST_F(UnprivilegedRunTest, QuittingDuringThePromptOrRootsScriptLeavesNoProcessAndNoFolder)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(machine + "/slow.log").constData(), 0600), 0); // cat waits for a writer
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, 0}) {
        SCOPED_TRACE(signal);
        QFile::remove(prompt);
        QProcess run;
        startRun(run, signal == 0 ? "/slow.log" : "/kernel.log");
        const pid_t prompt = waitForPrompt();
        ASSERT_GT(prompt, 0);
        QString bootLog; // where root's script, waiting for the boot log, has it written
        if (signal == 0) {
            answerPrompt();
            ASSERT_TRUE(QTest::qWaitFor([&] {
                for (const QString& task : QDir("/proc").entryList(QDir::Dirs))
                    if (readFile("/proc/" + task + "/stat").contains(QStringLiteral(") S %1 ").arg(prompt).toLatin1())
                        && (bootLog = QFile::symLinkTarget("/proc/" + task + "/fd/1")).startsWith("/run/velkor-privileged.")
                        && bootLog.endsWith("/boot-log"))
                        return true;
                return false;
            }, 60000));
        }
        ::kill(pid_t(run.processId()), signal == 0 ? SIGTERM : signal);
        const QString output = finish(run);
        EXPECT_EQ(run.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("quit: the run ended")) << output.toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !running(prompt); }, 5000)); // well before the boot log would time out
        EXPECT_TRUE(bootLog.isEmpty() || !QFileInfo::exists(QFileInfo(bootLog).path()));
        EXPECT_EQ(QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }
}
