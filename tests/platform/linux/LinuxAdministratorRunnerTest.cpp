#include "platform/linux/LinuxAdministratorRunner.h"

#include "base/CollectorError.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <thread>

using namespace velkor;
using namespace velkor::testing;

static const AdministratorRunLimits kLimits{1024 * 1024, 60};

class LinuxAdministratorRunnerTest : public ::testing::Test {
protected:
    // A script in a folder named with quotes, a backslash, blanks and accents.
    QString script(const QString& body)
    {
        writeFile(folder.filePath("Zoë's \"odd\" \\ folder/setup script.sh"), ("#!/bin/bash\n" + body + "\n").toUtf8());
        return folder.filePath("Zoë's \"odd\" \\ folder/setup script.sh");
    }
    // A runner for an ordinary user whose pkexec records its arguments, then does what the body says.
    LinuxAdministratorRunner throughPkexec(const QString& body)
    {
        writeScript(folder.filePath("pkexec"), "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/arguments\"\n" + body);
        return LinuxAdministratorRunner({false, folder.filePath("pkexec"), {}, false});
    }
    // "<status>: <problem>" of the run, or what it throws as "<kind>: <description>".
    std::string outcomeOf(LinuxAdministratorRunner& runner, const QString& path)
    {
        try {
            const AdministratorRunOutput output = runner.runScriptAsAdministrator(path, kLimits);
            return std::to_string(output.exitStatus) + ": " + output.problem.toStdString();
        } catch (const VelkorError& error) {
            const bool declined = dynamic_cast<const CollectorError*>(&error), unavailable = dynamic_cast<const AdministratorUnavailable*>(&error);
            return (unavailable ? "unavailable: " : declined ? "declined: " : "platform: ") + error.description().toStdString();
        }
    }

    QTemporaryDir folder;
};

// Through pkexec unless root; pkexec's own outcomes told from the script's; bounded once the script starts.
TEST_F(LinuxAdministratorRunnerTest, OthersThanRootGoThroughPkexecWhoseOwnOutcomesAreToldFromTheScripts)
{
    const QString path = script("echo out; echo err >&2; echo 'second line'");
    const QString helper = "/usr/lib/velkor/Velkor.app/Contents/Resources/Tools/velkor-admin";
    EXPECT_EQ(LinuxAdministratorRunner({false, "/usr/bin/pkexec", helper, false}).commandFor(path), (QStringList{"/usr/bin/pkexec", helper, path}));
    // From a terminal, and not as root, the log says where the password may be asked.
    EXPECT_EQ(LinuxAdministratorRunner({false, "/usr/bin/pkexec", {}, true}).promptNotice(),
              "Velkor was started from a terminal: if no password window appears, type the administrator password in that terminal.");
    EXPECT_EQ(LinuxAdministratorRunner({true, "/p", {}, true}).promptNotice()
                  + LinuxAdministratorRunner({false, "/p", {}, false}).promptNotice(), "");
    // The path reaches pkexec as one argument; the collection runs it from its worker thread.
    LinuxAdministratorRunner runner = throughPkexec("exec \"$@\"");
    AdministratorRunOutput output;
    std::thread([&] { output = runner.runScriptAsAdministrator(path, kLimits); }).join();
    EXPECT_EQ(output.standardOutput + QByteArray::number(output.exitStatus) + output.problem.toUtf8(), "out\nsecond line\n0");
    EXPECT_EQ(readText(folder.filePath("arguments")), "/bin/bash\n" + path + "\n");

    // Before the script's first byte every status is pkexec's; after it, and for root, the script's.
    const struct { const char* pkexec; const char* script; std::string outcome; } cases[] = {
        {"echo 'Error executing command as another user: Request dismissed' >&2; echo >&2; echo 'This incident has been reported.' >&2; exit 126",
         "echo never",
         "declined: Administrator authentication was declined or not authorized (pkexec exit status 126): Error executing command as "
         "another user: Request dismissed; This incident has been reported."},
        {"echo \"Error creating textual authentication agent: Error opening current controlling terminal for the process (\\`/dev/tty'): "
         "No such device or address (g-io-error-quark, 1)\" >&2; exit 127",
         "echo never",
         "unavailable: pkexec exit status 127: Error creating textual authentication agent: Error opening current controlling terminal for "
         "the process (`/dev/tty'): No such device or address (g-io-error-quark, 1). Start a polkit authentication agent (Debian: "
         "policykit-1-gnome, mate-polkit, lxpolkit or polkit-kde-agent-1), or start Velkor from a terminal, where pkexec asks for the "
         "password itself"},
        {"exec \"$@\"", "echo started; exit 126", "126: it ended with exit status 126"},
        {"exec \"$@\"", "echo partial; echo 'broken pipe' >&2; exit 3", "3: it ended with exit status 3: broken pipe"},
        {nullptr, "exit 126", "126: it ended with exit status 126"}, // root: no pkexec
        {nullptr, "kill -9 $$", "-1: it ended abnormally"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        LinuxAdministratorRunner each = c.pkexec ? throughPkexec(c.pkexec) : LinuxAdministratorRunner({true, "/nonexistent", {}, false});
        EXPECT_EQ(outcomeOf(each, script(c.script)), c.outcome);
    }
    LinuxAdministratorRunner missing({false, folder.filePath("no pkexec here"), {}, false});
    EXPECT_EQ(outcomeOf(missing, script("echo never")),
              "unavailable: “" + folder.filePath("no pkexec here").toStdString()
                  + "” cannot be started (No such file or directory). Install Debian's pkexec package and a polkit authentication agent");

    const AdministratorRunOutput answered = throughPkexec("sleep 1.5; exec \"$@\"").runScriptAsAdministrator(script("echo done"), {1024, 0.5});
    EXPECT_EQ(answered.standardOutput + answered.problem.toUtf8(), "done\n"); // a prompt longer than the run may take is not counted

    const QString pid = folder.filePath("pid");
    const auto alive = [&] { return readText(pid).trimmed().toInt() > 0 && ::kill(readText(pid).trimmed().toInt(), 0) == 0; };
    throughPkexec("exec \"$@\""); // for `runner` again
    const AdministratorRunOutput slow = runner.runScriptAsAdministrator(script("echo started; echo $$ > '" + pid + "'; sleep 60"), {1024, 0.5});
    EXPECT_EQ(slow.standardOutput + slow.problem.toUtf8(), "started\nit took longer than 0.5 s");
    EXPECT_FALSE(alive());
    const AdministratorRunOutput flood = runner.runScriptAsAdministrator(script("yes flood"), {100000, 60});
    EXPECT_EQ(QByteArray::number(flood.standardOutput.size()) + " " + flood.problem.toUtf8(), "100000 it printed more than 100000 bytes");

    QFile::remove(pid);
    LinuxAdministratorRunner prompting = throughPkexec("echo $$ > '" + pid + "'; exec sleep 60");
    std::atomic<bool> quitting{false};
    std::string failure;
    std::thread worker([&] { const ProcessAbandonScope scope(quitting); failure = outcomeOf(prompting, script("echo never")); });
    while (!alive())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    quitting = true;
    worker.join();
    EXPECT_EQ(failure, "platform: The administrator run was stopped because Velkor is quitting.");
    EXPECT_FALSE(alive());
}

// The helper of an installed Velkor runs only the script its bundle's velkor wrote in a private folder.
TEST_F(LinuxAdministratorRunnerTest, TheInstalledHelperRunsOnlyVelkorsOwnScript)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the folder checks expect root's own folders";
    const QString contents = folder.filePath("Velkor.app/Contents");
    const QString helper = contents + "/Resources/Tools/velkor-admin";
    for (const auto& [from, to] : {std::pair{QString("/bin/bash"), contents + "/MacOS/velkor"}, {builtTool("velkor-admin"), helper}})
        ASSERT_TRUE(QDir().mkpath(QFileInfo(to).path()) && QFile::copy(from, to)); // bash stands in for the program
    const QString scripts = folder.filePath("private");
    writeFile(scripts + "/template", "echo \"ran as $(id -u)\"\n");

    // velkor writes the script under its own process id and runs the helper as its child.
    const std::pair<const char*, const char*> cases[] = {
        {"", "0 ran as 0\n"}, {"mv \"$s\" \"$s.real\"; ln -s \"$s.real\" \"$s\"; ", "2 velkor-admin: not a regular file"},
        {"rm \"$s\"; mkfifo \"$s\"; ", "2 velkor-admin: not a regular file"},
        {"chmod 755 \"$1\"; ", "2 velkor-admin: not in a private folder of the asking user"},
        {"chown 65534 \"$s\"; ", "2 velkor-admin: not the asking user's file"},
        {"s=\"$1/template\"; ", "2 velkor-admin: not Velkor's setup script"}};
    for (const auto& [prepare, expected] : cases) {
        ASSERT_EQ(::chmod(QFile::encodeName(scripts).constData(), 0700), 0);
        const QString run = "s=\"$1/quorvexgen_privileged_setup_$$.sh\"; cp \"$1/template\" \"$s\"; " + QString(prepare)
                            + "\"$0\" \"$s\"; ";
        const ProcessOutcome outcome = runProcessRaw(
            contents + "/MacOS/velkor", {"-c", run + "status=$?; rm -f \"$s\" \"$s.real\"; exit $status", helper, scripts},
            std::nullopt, 30);
        EXPECT_TRUE((QByteArray::number(outcome.exitStatus) + " " + outcome.output).startsWith(expected))
            << prepare << ": " << outcome.output.toStdString();
    }
    EXPECT_EQ(runProcessRaw(helper, {scripts + "/template"}, std::nullopt, 30).output, "velkor-admin: only Velkor may run this\n"); // any other asker
    EXPECT_EQ(runProcessRaw(helper, {}, std::nullopt, 30).output, "velkor-admin: usage: velkor-admin SCRIPT\n");

    // Only a helper that root alone can change, up to "/", is handed to pkexec.
    const QString installed = QStringLiteral("/var/lib/velkor-test-%1/velkor-admin").arg(::getpid());
    writeFile(installed, "x");
    const QByteArray file = QFile::encodeName(installed);
    const auto onlyRoot = [](const QString& path) { return LinuxAdministratorRunner::onlyRootCanChange(path); };
    EXPECT_TRUE(onlyRoot("/bin/sh") && onlyRoot(installed));
    EXPECT_FALSE(onlyRoot("/nonexistent/velkor-admin") || onlyRoot(helper)); // the helper is below /tmp, which everyone can write
    ::chmod(file.constData(), 0664);
    EXPECT_FALSE(onlyRoot(installed)) << "group-writable";
    EXPECT_EQ(::chmod(file.constData(), 0644) + ::chown(file.constData(), 65534, 0), 0);
    EXPECT_FALSE(onlyRoot(installed)) << "someone else's";
    QDir(QFileInfo(installed).path()).removeRecursively();
}

