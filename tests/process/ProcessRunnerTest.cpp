#include "base/CollectorError.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using namespace velkor;

namespace {

const QString sh = QStringLiteral("/bin/sh");

// The output, or what the call threw.
QString outcomeOf(const QString& program, const QStringList& arguments, double timeout = 10, const std::optional<QString>& directory = {})
{
    try {
        return runProcess(program, arguments, directory, timeout);
    } catch (const VelkorError& error) {
        return error.description();
    }
}

bool anyZombieChild() { return ::waitpid(-1, nullptr, WNOHANG) > 0; }

// Whether the process is gone within a second; not our child, so it may linger as a zombie.
bool ends(int pid)
{
    for (int waited = 0; waited < 1000; waited += 10, ::usleep(10000))
        if (const QByteArray stat = velkor::testing::readFile(QStringLiteral("/proc/%1/stat").arg(pid)); stat.isEmpty() || stat.contains(") Z "))
            return true;
    return false;
}

} // namespace

TEST(ProcessRunner, OutputAndFailureTexts)
{
    QTemporaryDir dir;
    const QString odd = dir.filePath(QString::fromUtf8("it's a \"dir\" é"));
    QDir().mkpath(odd);
    const struct { QString program; QStringList arguments; QString expected; std::optional<QString> directory = {}; } cases[] = {
        {sh, {"-c", "echo out; echo err >&2"}, "out\nerr\n"},
        {sh, {"-c", "printf 'caf\\303\\251\\377\\376'"},
         "café\uFFFD\uFFFD[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n"},
        {sh, {"-c", "printf x; exit 1"}, "Command failed: /bin/sh -c printf x; exit 1\nx"},
        {sh, {"-c", "printf y; kill -KILL $$"}, "Command failed: /bin/sh -c printf y; kill -KILL $$\ny"},
        {"/bin/false", {}, "Command failed: /bin/false \n"}, // no arguments still leave one blank
        {"/nonexistent/tool", {"-x"}, "Could not launch “/nonexistent/tool”: No such file or directory"},
        {"/bin/pwd", {}, odd + "\n", odd},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcomeOf(c.program, c.arguments, 10, c.directory), c.expected);
    EXPECT_THROW(runProcess("/nonexistent/tool", {}, std::nullopt, 10), PlatformError);
    EXPECT_EQ(runProcessCapturing("/nonexistent/tool", {"-x"}, 10), "Failure/timeout while running /nonexistent/tool -x");
}

// What a tool leaves running in its group is ended with it, whether it still holds the pipe or not.
TEST(ProcessRunner, WhatAToolLeavesRunningIsEndedWhenItExits)
{
    for (const char* sleeper : {"sleep 100 &", "sleep 100 >/dev/null 2>&1 &"}) {
        const int pid = runProcess(sh, {"-c", QString(sleeper) + " echo $!"}, std::nullopt, 20).trimmed().toInt();
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(ends(pid)) << sleeper;
        EXPECT_FALSE(anyZombieChild());
    }
}

// Child and grandchild ignore the terminate signal: both go only with the kill after the grace.
TEST(ProcessRunner, TimeoutEndsTheWholeProcessGroupAndKeepsThePartialOutput)
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("grandchild.pid");
    const QString script = "echo early; trap '' TERM; sh -c 'echo $$ > " + pidFile
        + "; while :; do sleep 0.1; done' & while :; do sleep 0.1; done";
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(outcomeOf(sh, {"-c", script}, 0.5), "Timeout after 0s: /bin/sh -c " + script + "\nearly\n");
    EXPECT_GE(timer.elapsed(), 2400);
    const int pid = velkor::testing::readText(pidFile).trimmed().toInt();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(ends(pid)) << "the grandchild outlived the time-out";
    EXPECT_FALSE(anyZombieChild());
}

// Output up to the limit is kept whole; a tool that floods past it is stopped there, even one
// that ignores the terminate signal.
TEST(ProcessRunner, OutputIsKeptUpToTheLimitAndAFloodIsStoppedThere)
{
    constexpr qsizetype limit = 3 << 20;
    const struct { const char* script; qsizetype kept; bool cut; } cases[] = {
        {"head -c 3145727 /dev/zero | tr '\\0' a", limit - 1, false},
        {"head -c 100000000 /dev/zero | tr '\\0' a; exit 3", limit, true},
        {"trap '' TERM; yes aaaaaaa", limit, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const ProcessOutcome outcome = runProcessRaw(sh, {"-c", c.script}, std::nullopt, 60, limit);
        EXPECT_EQ(outcome.output.size(), c.kept);
        EXPECT_LE(outcome.output.capacity(), limit);
        EXPECT_EQ(outcome.cut, c.cut);
        EXPECT_TRUE(outcome.exitStatus == 0 && !outcome.timedOut) << outcome.exitStatus;
        EXPECT_EQ(outputText(outcome).endsWith("and was stopped.\n"), c.cut);
    }
}
