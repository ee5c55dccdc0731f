#include "base/CollectorError.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/wait.h>

using namespace velkor;

namespace {

QString sh() { return QStringLiteral("/bin/sh"); }

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

} // namespace

TEST(ProcessRunner, MergesStandardErrorIntoTheOutput)
{
    EXPECT_EQ(runProcess(sh(), {"-c", "echo out; echo err >&2"}, std::nullopt, 10), "out\nerr\n");
}

TEST(ProcessRunner, NonZeroExitThrowsCommandFailedWithTheOutput)
{
    EXPECT_EQ(thrownMessage([] { runProcess(sh(), {"-c", "printf x; exit 1"}, std::nullopt, 10); }),
              "Command failed: /bin/sh -c printf x; exit 1\nx");
    EXPECT_EQ(runProcessCapturing(sh(), {"-c", "printf x; exit 1"}, 10),
              "Failure/timeout while running /bin/sh -c printf x; exit 1");
}

TEST(ProcessRunner, EmptyArgumentListLeavesOneBlankAfterThePath)
{
    EXPECT_EQ(thrownMessage([] { runProcess("/bin/false", {}, std::nullopt, 10); }), "Command failed: /bin/false \n");
}

TEST(ProcessRunner, TimeoutReportsWholeSecondsAndThePartialOutput)
{
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(thrownMessage([] { runProcess(sh(), {"-c", "echo early; sleep 30"}, std::nullopt, 0.5); }),
              "Timeout after 0s: /bin/sh -c echo early; sleep 30\nearly\n");
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_FALSE(anyZombieChild());
}

TEST(ProcessRunner, ChildIgnoringTerminateIsKilledAfterTheGrace)
{
    QTemporaryDir dir;
    const QString marker = dir.filePath("pid");
    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(runProcess(sh(), {"-c", "trap '' TERM; echo $$ > '" + marker + "'; while :; do sleep 0.1; done"},
                            std::nullopt, 0.5),
                 CollectorError);
    EXPECT_GE(timer.elapsed(), 2400);
    EXPECT_LT(timer.elapsed(), 6000);
    const int pid = velkor::testing::readText(marker).trimmed().toInt();
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0) << "the child that ignored SIGTERM is still alive";
}

TEST(ProcessRunner, GrandchildHoldingThePipeDoesNotHangTheCall)
{
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(runProcess(sh(), {"-c", "echo done; sleep 100 &"}, std::nullopt, 20), "done\n");
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_FALSE(anyZombieChild());
}

TEST(ProcessRunner, MissingExecutableFailsAtOnce)
{
    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(runProcess("/nonexistent/tool", {"-x"}, std::nullopt, 30), PlatformError);
    EXPECT_EQ(runProcessCapturing("/nonexistent/tool", {"-x"}, 30), "Failure/timeout while running /nonexistent/tool -x");
    EXPECT_LT(timer.elapsed(), 2000);
}

TEST(ProcessRunner, InvalidUtf8GivesEmptyText)
{
    EXPECT_EQ(runProcess(sh(), {"-c", "printf 'ok\\377\\376'"}, std::nullopt, 10), "");
    EXPECT_EQ(runProcess(sh(), {"-c", "printf 'caf\\303\\251'"}, std::nullopt, 10), QString::fromUtf8("café"));
}

TEST(ProcessRunner, CapturesAHundredMegabytesWhole)
{
    const QString output = runProcess(sh(), {"-c", "head -c 104857600 /dev/zero | tr '\\0' 'a'"}, std::nullopt, 120);
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
