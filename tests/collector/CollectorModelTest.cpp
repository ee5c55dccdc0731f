#include "base/CollectorError.h"
#include "collector/CollectorModel.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>

using namespace velkor;
using namespace velkor::testing;

TEST(CollectorModel, StartupChecksLookForPatchmaticAndStampEveryLine)
{
    TestEnvironment env;
    CollectorModel model(env.platform, CollectionSteps{});
    model.prepareInitialChecks();
    EXPECT_FALSE(model.patchmaticFound());
    EXPECT_EQ(logMessages(model.logText()),
              QStringList({"App started.", "Target Desktop: " + env.desktop(), "patchmatic not found.",
                           "IORegistry mode: native IOKit text dump only. The app generates ioreg.txt and does not use IORegistryExplorer.app or Automation.",
                           "CPUFriend-Dump mode: embedded inside SendToZantro.zip, no separate Desktop ZIP."}));
    model.clearLog();
    model.append("two\nlines");
    EXPECT_TRUE(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\] two\nlines\n$").match(model.logText()).hasMatch()) << model.logText().toStdString();

    const QString tool = env.addTool("patchmatic", "exit 0");
    CollectorModel found(env.platform, CollectionSteps{});
    found.prepareInitialChecks();
    EXPECT_TRUE(found.patchmaticFound());
    EXPECT_EQ(found.patchmaticPath(), tool);
    EXPECT_TRUE(found.logText().contains("] patchmatic found: " + tool + "\n"));
}

TEST(CollectorModel, TheFooterNamesTheDesktopAndRevealWaitsForASuccessfulRun)
{
    TestEnvironment env;
    CollectorModel plain(env.platform, CollectionSteps{});
    EXPECT_EQ(plain.outputLocation(), "~/Desktop/SendToZantro.zip");
    plain.openDesktopZip(); // nothing to reveal until a run succeeded
    EXPECT_TRUE(env.desktopServices->revealed.isEmpty());
    plain.openPayPalDonate();
    EXPECT_EQ(env.desktopServices->openedUrls, QStringList{CollectorModel::donationPageAddress});

    env.desktopServices->note = "Velkor runs as root and was not started through sudo or pkexec by another user, so the archive goes to root's Desktop.";
    CollectorModel model(env.platform, CollectionSteps{});
    model.prepareInitialChecks();
    EXPECT_EQ(model.outputLocation(), env.desktop() + "/SendToZantro.zip");
    EXPECT_EQ(logMessages(model.logText()).mid(1, 2),
              QStringList({"Target Desktop: " + env.desktop(), env.desktopServices->note + " Output: " + env.desktop() + "/SendToZantro.zip"}));
}

TEST(CollectorModel, SecondStartWhileRunningChangesNothing)
{
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    CollectionSteps steps;
    std::atomic<int> runs = 0;
    steps.writeSystemInfo = [&runs](StepContext&, const QString&) {
        ++runs;
        QThread::msleep(300);
    };
    CollectorModel model(env.platform, steps);
    QSignalSpy runningChanges(&model, &CollectorModel::isRunningChanged);
    model.startCollection();
    const QString logAfterFirst = model.logText();
    model.startCollection();
    EXPECT_EQ(model.logText(), logAfterFirst);
    EXPECT_EQ(runningChanges.count(), 1);
    ASSERT_TRUE(waitForRunToEnd(model));
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(model.logText().count("Starting collection."), 1);
}

TEST(CollectorModel, ClosingDuringARunEndsItsToolsAndTheRun)
{
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    const QString pidFile = env.path("tool.pid");
    std::atomic<bool> reachedLaterStep = false;
    CollectionSteps steps;
    steps.collectSweepkitStyleDumps = [&pidFile](StepContext& context, const QString&, const QString&) {
        context.log.log("dump running");
        runProcess("/bin/sh", {"-c", "echo $$ > '" + pidFile + "'; exec sleep 60"}, std::nullopt, 120);
    };
    steps.writeSystemInfo = [&reachedLaterStep](StepContext&, const QString&) { reachedLaterStep = true; };

    QElapsedTimer timer;
    {
        auto model = std::make_unique<CollectorModel>(env.platform, steps);
        model->startCollection();
        QDeadlineTimer started(20000);
        while (!QFileInfo::exists(pidFile) && !started.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        ASSERT_TRUE(QFileInfo::exists(pidFile));
        timer.start();
        EXPECT_TRUE(model->abandonRun(std::chrono::seconds(10)));
    }
    EXPECT_LT(timer.elapsed(), 8000);
    QThread::msleep(100);
    const int pid = readText(pidFile).trimmed().toInt();
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0) << "the run's tool outlived the run";
    EXPECT_FALSE(reachedLaterStep.load());
    EXPECT_FALSE(QFileInfo::exists(env.desktop() + "/SendToZantro.zip"));
}
