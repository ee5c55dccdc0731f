#include "platform/linux/LinuxAdministratorRunner.h"

#include "base/CollectorError.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

using testing::builtTool;
using testing::readText;
using testing::writeFile;
using testing::writeScript;

const AdministratorRunLimits kLimits{1024 * 1024, 60};

LinuxAdministratorRunner::Options asUser(const QString& pkexec, const QString& helper = {}, bool terminal = false)
{
    return {false, pkexec, helper, terminal};
}

bool processExists(const QString& pidFile)
{
    const pid_t pid = readText(pidFile).trimmed().toInt();
    return pid > 0 && ::kill(pid, 0) == 0;
}

class LinuxAdministratorRunnerTest : public ::testing::Test {
protected:
    // A script in a folder named with quotes, a backslash, blanks and accents.
    QString script(const QString& body)
    {
        const QString path = folder.filePath("Zoë's \"odd\" \\ folder/setup script.sh");
        writeFile(path, ("#!/bin/bash\n" + body + "\n").toUtf8());
        return path;
    }
    // A pkexec that records its arguments, then does what the body says.
    QString fakePkexec(const QString& body)
    {
        return writeScript(folder.filePath("pkexec"), "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/arguments\"\n" + body);
    }
    // What the run throws, as "<kind>: <description>".
    std::string failureOf(LinuxAdministratorRunner& runner, const QString& path, const AdministratorRunLimits& limits = kLimits)
    {
        try {
            runner.runScriptAsAdministrator(path, limits);
        } catch (const AdministratorUnavailable& error) {
            return "unavailable: " + error.description().toStdString();
        } catch (const CollectorError& error) {
            return "declined: " + error.description().toStdString();
        } catch (const PlatformError& error) {
            return "platform: " + error.description().toStdString();
        }
        return "(no error)";
    }

    QTemporaryDir folder;
};

TEST_F(LinuxAdministratorRunnerTest, RootRunsTheScriptItselfAndEveryStatusIsTheScripts)
{
    LinuxAdministratorRunner runner({true, folder.filePath("pkexec that is never used"), {}, true});
    const QString path = script("echo out; echo err >&2; echo 'second line'");
    EXPECT_EQ(runner.commandFor(path), (QStringList{"/bin/bash", path}));
    EXPECT_EQ(runner.promptNotice(), QString());
    const AdministratorRunOutput output = runner.runScriptAsAdministrator(path, kLimits);
    EXPECT_EQ(output.standardOutput, "out\nsecond line\n");
    EXPECT_EQ(output.exitStatus, 0);
    EXPECT_EQ(output.problem, QString());
    // The collection calls it from its worker thread.
    QByteArray printed;
    std::thread worker([&] { printed = runner.runScriptAsAdministrator(path, kLimits).standardOutput; });
    worker.join();
    EXPECT_EQ(printed, "out\nsecond line\n");

    struct Case {
        const char* body;
        int status;
        const char* problem;
    };
    for (const Case& testCase : {Case{"echo partial; echo 'broken pipe' >&2; exit 3", 3, "it ended with exit status 3: broken pipe"},
                                 Case{"exit 126", 126, "it ended with exit status 126"}, Case{"exit 127", 127, "it ended with exit status 127"},
                                 Case{"kill -9 $$", -1, "it ended abnormally"}}) {
        SCOPED_TRACE(testCase.body);
        const AdministratorRunOutput failed = runner.runScriptAsAdministrator(script(testCase.body), kLimits);
        EXPECT_EQ(failed.exitStatus, testCase.status);
        EXPECT_EQ(failed.problem, testCase.problem);
    }
}

TEST_F(LinuxAdministratorRunnerTest, OthersGoThroughPkexecWithBashOrTheInstalledHelper)
{
    LinuxAdministratorRunner runner(asUser(fakePkexec("exec \"$@\"")));
    const QString path = script("echo authorized");
    EXPECT_EQ(runner.commandFor(path), (QStringList{folder.filePath("pkexec"), "/bin/bash", path}));
    EXPECT_EQ(runner.runScriptAsAdministrator(path, kLimits).standardOutput, "authorized\n");
    EXPECT_EQ(readText(folder.filePath("arguments")), "/bin/bash\n" + path + "\n");

    LinuxAdministratorRunner helped(asUser("/usr/bin/pkexec", "/usr/lib/velkor/Velkor.app/Contents/Resources/Tools/velkor-admin"));
    EXPECT_EQ(helped.commandFor(path),
              (QStringList{"/usr/bin/pkexec", "/usr/lib/velkor/Velkor.app/Contents/Resources/Tools/velkor-admin", path}));

    // From a terminal the log says where the password may be asked.
    EXPECT_EQ(LinuxAdministratorRunner(asUser("/usr/bin/pkexec", {}, true)).promptNotice(),
              "Velkor was started from a terminal: if no password window appears, type the administrator password in that terminal.");
    EXPECT_EQ(LinuxAdministratorRunner(asUser("/usr/bin/pkexec", {}, false)).promptNotice(), QString());
}

// Before the script's first byte every status is pkexec's; after it, the script's.
TEST_F(LinuxAdministratorRunnerTest, PkexecsOwnOutcomesAreToldFromTheScripts)
{
    struct Case {
        const char* pkexec;
        const char* script;
        std::string failure;
        int status;
    };
    const Case cases[] = {
        {"echo 'Error executing command as another user: Request dismissed' >&2; echo >&2; echo 'This incident has been reported.' >&2; exit 126",
         "echo never",
         "declined: Administrator authentication was declined or not authorized (pkexec exit status 126): Error executing command as "
         "another user: Request dismissed; This incident has been reported.",
         0},
        {"echo \"Error creating textual authentication agent: Error opening current controlling terminal for the process (\\`/dev/tty'): "
         "No such device or address (g-io-error-quark, 1)\" >&2; exit 127",
         "echo never",
         "unavailable: pkexec exit status 127: Error creating textual authentication agent: Error opening current controlling terminal for "
         "the process (`/dev/tty'): No such device or address (g-io-error-quark, 1). Start a polkit authentication agent (Debian: "
         "policykit-1-gnome, mate-polkit, lxpolkit or polkit-kde-agent-1), or start Velkor from a terminal, where pkexec asks for the "
         "password itself",
         0},
        {"exec \"$@\"", "echo started; exit 126", "(no error)", 126},
        {"exec \"$@\"", "echo started; exit 127", "(no error)", 127},
        {"exec \"$@\"", "exit 3", "(no error)", 3},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.pkexec);
        LinuxAdministratorRunner runner(asUser(fakePkexec(testCase.pkexec)));
        const QString path = script(testCase.script);
        EXPECT_EQ(failureOf(runner, path), testCase.failure);
        if (testCase.failure == "(no error)") {
            EXPECT_EQ(runner.runScriptAsAdministrator(path, kLimits).exitStatus, testCase.status);
        }
    }

    LinuxAdministratorRunner missing(asUser(folder.filePath("no pkexec here")));
    EXPECT_EQ(failureOf(missing, script("echo never")),
              "unavailable: “" + folder.filePath("no pkexec here").toStdString()
                  + "” cannot be started (No such file or directory). Install Debian's pkexec package and a polkit authentication agent");
}

TEST_F(LinuxAdministratorRunnerTest, TheRunIsBoundedOnceTheScriptStartsButThePromptIsNot)
{
    const QString pids = folder.filePath("pid");
    // A prompt that takes longer than the run may: not counted.
    LinuxAdministratorRunner slowPrompt(asUser(fakePkexec("sleep 1.5; exec \"$@\"")));
    const AdministratorRunOutput answered = slowPrompt.runScriptAsAdministrator(script("echo done"), {1024, 0.5});
    EXPECT_EQ(answered.standardOutput, "done\n");
    EXPECT_EQ(answered.problem, QString());

    LinuxAdministratorRunner runner(asUser(fakePkexec("exec \"$@\"")));
    const AdministratorRunOutput slow = runner.runScriptAsAdministrator(script("echo started; echo $$ > '" + pids + "'; sleep 60"), {1024, 0.5});
    EXPECT_EQ(slow.standardOutput, "started\n");
    EXPECT_EQ(slow.problem, "it took longer than 0.5 s");
    EXPECT_FALSE(processExists(pids));

    const AdministratorRunOutput flood = runner.runScriptAsAdministrator(script("yes flood"), {100000, 60});
    EXPECT_EQ(flood.standardOutput.size(), 100000);
    EXPECT_EQ(flood.problem, "it printed more than 100000 bytes");
}

TEST_F(LinuxAdministratorRunnerTest, QuittingDuringThePromptEndsPkexec)
{
    const QString pid = folder.filePath("prompt pid");
    LinuxAdministratorRunner runner(asUser(fakePkexec("echo $$ > '" + pid + "'; exec sleep 60")));
    std::atomic<bool> quitting{false};
    std::string failure;
    std::thread worker([&] {
        const ProcessAbandonScope scope(quitting);
        failure = failureOf(runner, script("echo never"));
    });
    while (!processExists(pid))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    quitting = true;
    worker.join();
    EXPECT_EQ(failure, "platform: The administrator run was stopped because Velkor is quitting.");
    EXPECT_FALSE(processExists(pid));
}

// The helper pkexec runs for an installed Velkor runs nothing but the setup script that this
// bundle's velkor wrote for itself.
TEST_F(LinuxAdministratorRunnerTest, TheInstalledHelperRunsOnlyVelkorsOwnScript)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the folder checks expect root's own folders";
    const QString contents = folder.filePath("Velkor.app/Contents");
    QDir().mkpath(contents + "/MacOS");
    QDir().mkpath(contents + "/Resources/Tools");
    ASSERT_TRUE(QFile::copy("/bin/bash", contents + "/MacOS/velkor")); // stands in for the program
    const QString helper = contents + "/Resources/Tools/velkor-admin";
    ASSERT_TRUE(QFile::copy(builtTool("velkor-admin"), helper));
    const QString scripts = folder.filePath("private");
    QDir().mkpath(scripts);
    ASSERT_EQ(::chmod(QFile::encodeName(scripts).constData(), 0700), 0);
    writeFile(scripts + "/template", "echo \"ran as $(id -u)\"\n");

    // velkor writes the script under its own process id and runs the helper as its child.
    const auto runAsVelkor = [&](const QString& prepare) {
        return runProcessRaw(contents + "/MacOS/velkor",
                             {"-c", "s=\"$1/quorvexgen_privileged_setup_$$.sh\"; cp \"$1/template\" \"$s\"; " + prepare
                                        + "\"$0\" \"$s\"; status=$?; rm -f \"$s\"; exit $status",
                              helper, scripts},
                             std::nullopt, 30);
    };
    const ProcessOutcome accepted = runAsVelkor("");
    EXPECT_EQ(accepted.exitStatus, 0) << accepted.output.toStdString();
    EXPECT_EQ(accepted.output, "ran as 0\n");

    struct Case {
        const char* prepare;
        const char* refusal;
    };
    for (const Case& testCase : {Case{"mv \"$s\" \"$s.real\"; ln -s \"$s.real\" \"$s\"; ", "not a regular file"},
                                 Case{"chmod 755 \"$1\"; ", "not in a private folder of the asking user"},
                                 Case{"s=\"$1/template\"; ", "not Velkor's setup script"}}) {
        SCOPED_TRACE(testCase.prepare);
        ::chmod(QFile::encodeName(scripts).constData(), 0700);
        const ProcessOutcome refused = runAsVelkor(testCase.prepare);
        EXPECT_EQ(refused.exitStatus, 2);
        EXPECT_TRUE(refused.output.startsWith(QByteArray("velkor-admin: ") + testCase.refusal)) << refused.output.toStdString();
    }
    for (const QFileInfo& leftover : QDir(scripts).entryInfoList({"quorvexgen_*"}, QDir::AllEntries | QDir::System))
        QFile::remove(leftover.filePath());

    // Any other program that asks is refused, whatever the script.
    const ProcessOutcome other = runProcessRaw(helper, {scripts + "/template"}, std::nullopt, 30);
    EXPECT_EQ(other.exitStatus, 2);
    EXPECT_EQ(other.output, "velkor-admin: only Velkor may run this\n");
    EXPECT_EQ(runProcessRaw(helper, {}, std::nullopt, 30).output, "velkor-admin: usage: velkor-admin SCRIPT\n");
}

TEST(OnlyRootCanChange, HoldsForRootsOwnFilesInRootsOwnFolders)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs files of root's own";
    EXPECT_TRUE(LinuxAdministratorRunner::onlyRootCanChange("/bin/sh"));
    EXPECT_FALSE(LinuxAdministratorRunner::onlyRootCanChange("/nonexistent/velkor-admin"));

    QTemporaryDir folder; // in /tmp, which everyone can write
    writeFile(folder.filePath("velkor-admin"), "x");
    EXPECT_FALSE(LinuxAdministratorRunner::onlyRootCanChange(folder.filePath("velkor-admin")));
    // Below a folder of root's own that is not shared.
    const QString installed = QStringLiteral("/var/lib/velkor-test-%1").arg(::getpid());
    QDir().mkpath(installed);
    writeFile(installed + "/velkor-admin", "x");
    EXPECT_TRUE(LinuxAdministratorRunner::onlyRootCanChange(installed + "/velkor-admin"));
    ::chmod(QFile::encodeName(installed + "/velkor-admin").constData(), 0664);
    EXPECT_FALSE(LinuxAdministratorRunner::onlyRootCanChange(installed + "/velkor-admin"));
    ::chown(QFile::encodeName(installed + "/velkor-admin").constData(), 65534, 0);
    ::chmod(QFile::encodeName(installed + "/velkor-admin").constData(), 0644);
    EXPECT_FALSE(LinuxAdministratorRunner::onlyRootCanChange(installed + "/velkor-admin"));
    QDir(installed).removeRecursively();
}

} // namespace
} // namespace velkor
