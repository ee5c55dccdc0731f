#include "platform/linux/LinuxAdministratorRunner.h"

#include "base/CollectorError.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>

namespace velkor {
namespace {

using testing::readText;
using testing::writeFile;
using testing::writeScript;

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
    QString failureOf(LinuxAdministratorRunner& runner, const QString& path)
    {
        try {
            runner.runScriptAsAdministrator(path);
        } catch (const CollectorError& error) {
            return error.description();
        }
        return QStringLiteral("(no error)");
    }

    QTemporaryDir folder;
};

TEST_F(LinuxAdministratorRunnerTest, RootRunsTheScriptItselfAndGetsItsStandardOutput)
{
    LinuxAdministratorRunner runner(true, folder.filePath("pkexec that is never used"));
    const QString path = script("echo out; echo err >&2; echo 'second line'");
    EXPECT_EQ(runner.commandFor(path), (QStringList{"/bin/bash", path}));
    EXPECT_EQ(runner.runScriptAsAdministrator(path), "out\nsecond line\n");

    EXPECT_EQ(failureOf(runner, script("echo partial; echo 'broken pipe' >&2; exit 3")),
              "The administrator script failed with exit status 3: broken pipe");
    // For root, 126 is the script's own status, not a refusal.
    EXPECT_EQ(failureOf(runner, script("exit 126")), "The administrator script failed with exit status 126");
    EXPECT_EQ(failureOf(runner, script("kill -9 $$")), "The administrator script ended abnormally");

    // The collection runs it from its worker thread.
    const QString fromWorker = script("echo from a worker");
    QString printed;
    std::thread worker([&] { printed = runner.runScriptAsAdministrator(fromWorker); });
    worker.join();
    EXPECT_EQ(printed, "from a worker\n");
}

TEST_F(LinuxAdministratorRunnerTest, OthersGoThroughPkexec)
{
    LinuxAdministratorRunner runner(false, fakePkexec("exec \"$@\""));
    const QString path = script("echo authorized");
    EXPECT_EQ(runner.commandFor(path), (QStringList{folder.filePath("pkexec"), "/bin/bash", path}));
    EXPECT_EQ(runner.runScriptAsAdministrator(path), "authorized\n");
    EXPECT_EQ(readText(folder.filePath("arguments")), "/bin/bash\n" + path + "\n");
}

TEST_F(LinuxAdministratorRunnerTest, ADeclinedOrFailedAuthenticationIsAnError)
{
    const QString path = script("echo never");
    LinuxAdministratorRunner declined(false, fakePkexec("echo 'Error executing command as another user: Not authorized' >&2; exit 126"));
    EXPECT_EQ(failureOf(declined, path),
              "Administrator authentication was declined or not authorized (pkexec exit status 126): "
              "Error executing command as another user: Not authorized");

    LinuxAdministratorRunner failed(false, fakePkexec("echo 'No authentication agent found.' >&2; exit 127"));
    EXPECT_EQ(failureOf(failed, path), "Administrator authentication failed (pkexec exit status 127): No authentication agent found.");

    LinuxAdministratorRunner missing(false, folder.filePath("no pkexec here"));
    EXPECT_TRUE(failureOf(missing, path).startsWith("Could not ask for administrator rights: “" + folder.filePath("no pkexec here")
                                                    + "” cannot be started"))
        << failureOf(missing, path).toStdString();

    LinuxAdministratorRunner scriptFails(false, fakePkexec("exec \"$@\""));
    EXPECT_EQ(failureOf(scriptFails, script("exit 1")), "The administrator script failed with exit status 1");
}

} // namespace
} // namespace velkor
