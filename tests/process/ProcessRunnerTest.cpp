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
}

TEST(ProcessRunner, FailuresGiveTheCommandLineAndTheOutput)
{
    EXPECT_EQ(thrownMessage([] { runProcess(sh, {"-c", "printf x; exit 1"}, std::nullopt, 10); }),
              "Command failed: /bin/sh -c printf x; exit 1\nx");
    EXPECT_EQ(runProcessCapturing(sh, {"-c", "printf x; exit 1"}, 10), "Failure/timeout while running /bin/sh -c printf x; exit 1");
    // No arguments still leave one blank after the path.
    EXPECT_EQ(thrownMessage([] { runProcess("/bin/false", {}, std::nullopt, 10); }), "Command failed: /bin/false \n");
}

// What a tool leaves running in its group is ended with it, whether it still holds the pipe or not.
TEST(ProcessRunner, WhatAToolLeavesRunningIsEndedWhenItExits)
{
    for (const char* sleeper : {"sleep 100 &", "sleep 100 >/dev/null 2>&1 &"}) {
        SCOPED_TRACE(sleeper);
        QElapsedTimer timer;
        timer.start();
        const QString output = runProcess(sh, {"-c", QString(sleeper) + " echo $!"}, std::nullopt, 20);
        EXPECT_LT(timer.elapsed(), 3000);
        const pid_t pid = output.trimmed().toInt();
        ASSERT_GT(pid, 0);
        // The sleeper is not our child; it is reaped by init, so it may linger an instant as a zombie.
        bool gone = false;
        for (int waited = 0; !gone && waited < 2000; waited += 10) {
            const QByteArray state = velkor::testing::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
            gone = state.isEmpty() || state.contains(") Z ");
            if (!gone)
                ::usleep(10000);
        }
        EXPECT_TRUE(gone) << "the sleeper outlived its tool";
        EXPECT_FALSE(anyZombieChild());
    }
}

TEST(ProcessRunner, MissingExecutableFailsAtOnce)
{
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

TEST(ProcessRunner, InvalidUtf8IsReplacedAndNoted)
{
    EXPECT_EQ(runProcess(sh, {"-c", "printf 'ok\\377\\376'"}, std::nullopt, 10),
              QString::fromUtf8("ok\uFFFD\uFFFD[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n"));
    EXPECT_EQ(runProcess(sh, {"-c", "printf 'caf\\303\\251'"}, std::nullopt, 10), QString::fromUtf8("café"));
}

// Output up to the limit is kept whole; a tool that floods past it is stopped there.
TEST(ProcessRunner, OutputIsKeptUpToTheLimitAndAFloodIsStoppedThere)
{
    constexpr qsizetype limit = 3 << 20;
    const struct {
        const char* script;
        qsizetype kept;
        bool cut;
    } cases[] = {
        {"head -c 3145727 /dev/zero | tr '\\0' a", limit - 1, false},
        {"head -c 100000000 /dev/zero | tr '\\0' a; exit 3", limit, true},
        {"trap '' TERM; yes aaaaaaa", limit, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        QElapsedTimer timer;
        timer.start();
        const ProcessOutcome outcome = runProcessRaw(sh, {"-c", c.script}, std::nullopt, 60, limit);
        EXPECT_LT(timer.elapsed(), 10000);
        EXPECT_EQ(outcome.output.size(), c.kept);
        EXPECT_LE(outcome.output.capacity(), limit);
        EXPECT_EQ(outcome.cut, c.cut);
        EXPECT_EQ(outcome.exitStatus, 0);
        EXPECT_FALSE(outcome.timedOut);
        EXPECT_EQ(outputText(outcome).endsWith("and was stopped.\n"), c.cut);
    }
}

TEST(ProcessRunner, RunsInTheGivenWorkingDirectoryWithBlanksAndQuotesInItsName)
{
    QTemporaryDir dir;
    const QString odd = dir.filePath(QString::fromUtf8("it's a \"dir\" é"));
    QDir().mkpath(odd);
    EXPECT_EQ(runProcess("/bin/pwd", {}, odd, 10).trimmed(), odd);
}
