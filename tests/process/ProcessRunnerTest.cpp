#include "base/CollectorError.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <sys/wait.h>

using namespace velkor;

namespace {

const QString sh = QStringLiteral("/bin/sh");

template <typename Call>
QString thrownMessage(Call&& call)
{
    try {
        call();
    } catch (const VelkorError& error) {
        return error.description();
    }
    return QStringLiteral("<nothing thrown>");
}

bool anyZombieChild()
{
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) > 0;
}

// A process that still runs (a zombie waiting for a parent that does not reap it counts as ended).
bool running(int pid)
{
    const QString stat = velkor::testing::readText(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.isEmpty() && stat.section(QLatin1Char(')'), -1).trimmed().front() != QLatin1Char('Z');
}

} // namespace

TEST(ProcessRunner, MergesBothStreamsAndDecodesStrictUtf8)
{
    EXPECT_EQ(runProcess(sh, {"-c", "echo out; echo err >&2"}, std::nullopt, 10), "out\nerr\n");
    EXPECT_EQ(runProcess(sh, {"-c", "printf 'caf\\303\\251'"}, std::nullopt, 10), QString::fromUtf8("café"));
    EXPECT_EQ(runProcess(sh, {"-c", "printf 'ok\\377\\376'"}, std::nullopt, 10), "");
}

TEST(ProcessRunner, FailuresGiveTheCommandLineAndTheOutput)
{
    EXPECT_EQ(thrownMessage([] { runProcess(sh, {"-c", "printf x; exit 1"}, std::nullopt, 10); }),
              "Command failed: /bin/sh -c printf x; exit 1\nx");
    EXPECT_EQ(runProcessCapturing(sh, {"-c", "printf x; exit 1"}, 10), "Failure/timeout while running /bin/sh -c printf x; exit 1");
    // No arguments still leave one blank after the path.
    EXPECT_EQ(thrownMessage([] { runProcess("/bin/false", {}, std::nullopt, 10); }), "Command failed: /bin/false \n");

    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(runProcess("/nonexistent/tool", {"-x"}, std::nullopt, 30), PlatformError);
    EXPECT_EQ(runProcessCapturing("/nonexistent/tool", {"-x"}, 30), "Failure/timeout while running /nonexistent/tool -x");
    EXPECT_LT(timer.elapsed(), 2000);
}

TEST(ProcessRunner, TimeoutEndsTheWholeProcessGroupAndKeepsThePartialOutput)
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("grandchild.pid");
    // Child and grandchild ignore the terminate signal: both go only with the kill after the grace.
    const QString script = "echo early; trap '' TERM; sh -c 'echo $$ > " + pidFile
        + "; while :; do sleep 0.1; done' & while :; do sleep 0.1; done";
    QElapsedTimer timer;
    timer.start();
    const QString message = thrownMessage([&] { runProcess(sh, {"-c", script}, std::nullopt, 0.5); });
    EXPECT_EQ(message, "Timeout after 0s: /bin/sh -c " + script + "\nearly\n");
    EXPECT_GE(timer.elapsed(), 2400);
    EXPECT_LT(timer.elapsed(), 6000);
    const int pid = velkor::testing::readText(pidFile).trimmed().toInt();
    ASSERT_GT(pid, 0);
    QThread::msleep(100);
    EXPECT_FALSE(running(pid)) << "the grandchild outlived the time-out";
    EXPECT_FALSE(anyZombieChild());
}

TEST(ProcessRunner, GrandchildHoldingThePipeDoesNotHangTheCall)
{
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(runProcess(sh, {"-c", "echo done; sleep 100 &"}, std::nullopt, 20), "done\n");
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_FALSE(anyZombieChild());
}

TEST(ProcessRunner, CapturesAHundredMegabytesWhole)
{
    const QString output = runProcess(sh, {"-c", "head -c 104857600 /dev/zero | tr '\\0' 'a'"}, std::nullopt, 120);
    ASSERT_EQ(output.size(), 104857600);
    EXPECT_EQ(output.count(QLatin1Char('a')), 104857600);
}

TEST(ProcessRunner, RunsInTheGivenWorkingDirectoryWithBlanksAndQuotesInItsName)
{
    QTemporaryDir dir;
    const QString odd = dir.filePath(QString::fromUtf8("it's a \"dir\" é"));
    QDir().mkpath(odd);
    EXPECT_EQ(runProcess("/bin/pwd", {}, odd, 10).trimmed(), odd);
}
