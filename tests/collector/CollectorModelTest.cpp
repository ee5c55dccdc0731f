#include "base/CollectorError.h"
#include "collector/CollectorModel.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>

using namespace velkor;
using namespace velkor::testing;

// Startup checks; a run without patchmatic and one whose kext step fails keep the earlier archive
// and what they gathered (without patchmatic: the empty ACPI folder), and say why; then one archive
// with the work folder as its only top entry and the run log masked from where the log was
// cleared. A failed registry text is a warning; no run leaves its private temporary folder.
// Last, a second start changes nothing, and closing ends the run's tools and the run.
TEST(CollectorModel, FailedRunsKeepTheEarlierArchiveASuccessfulOneLeavesOneAndClosingEndsARun)
{
    TestEnvironment env;
    EXPECT_EQ(CollectorModel(env.platform, {}).outputLocation(), "~/Desktop/SendToZantro.zip");
    env.desktopServices->note = "Velkor runs as root, so the archive goes to root's Desktop.";
    const QString archive = env.desktop() + "/SendToZantro.zip", work = env.desktop() + "/SendToZantro_Work", pid = env.path("tool.pid");
    const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
    writeFile(archive, "an older archive");
    std::atomic<bool> kextBreaks = true, hangs = false, reachedLaterStep = false;
    CollectionSteps steps; // each leaves a file, so a run can be followed into the package
    steps.extractACPIWithValidation = [](StepContext&, const QString&, const QString& acpi) { writeFile(acpi + "/DSDT.aml", "DSDT"); };
    steps.collectSweepkitStyleDumps = [&](StepContext&, const QString& to, const QString&) {
        writeFile(to + "/Pmset.txt", "pmset");
        if (hangs)
            runProcess("/bin/sh", {"-c", "echo $$ > '" + pid + "'; exec sleep 60"}, std::nullopt, 120);
    };
    steps.writeFallbackIORegText = [](StepContext&, const QString&) { throw CollectorError::operationFailed("No registry root."); };
    steps.generatePortwrightKext = [&](StepContext&, const QString& to) {
        if (kextBreaks)
            throw CollectorError::operationFailed("kext broke");
        writeFile(to + "/Portwright.kext/Info.plist", "<plist/>");
    };
    steps.writeSystemInfo = [&](StepContext&, const QString&) { reachedLaterStep = hangs.load(); };
    auto model = std::make_unique<CollectorModel>(env.platform, steps);
    model->prepareInitialChecks();
    EXPECT_EQ(logMessages(model->logText()),
              QStringList({"App started.", "Target Desktop: " + env.desktop(), env.desktopServices->note + " Output: " + archive,
                           "patchmatic not found.",
                           "IORegistry mode: native IOKit text dump only. The app generates ioreg.txt and does not use "
                           "IORegistryExplorer.app or Automation.",
                           "CPUFriend-Dump mode: embedded inside SendToZantro.zip, no separate Desktop ZIP."}));
    EXPECT_TRUE(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\] App started.\n").match(model->logText()).hasMatch())
        << model->logText().toStdString();
    for (const bool withTool : {false, true}) {
        if (withTool)
            env.addTool("patchmatic", "exit 0");
        model->clearLog();
        model->startCollection();
        ASSERT_TRUE(waitForRunToEnd(*model));
        EXPECT_EQ(readText(archive), "an older archive");
        EXPECT_EQ(QDir(work).entryList(all, QDir::Name), withTool ? QStringList({"ACPI", "Pmset.txt", "ioregAPP.txt"}) : QStringList{"ACPI"});
        EXPECT_EQ(QDir(work + "/ACPI").entryList(all), withTool ? QStringList{"DSDT.aml"} : QStringList());
        QStringList lines = logMessages(model->logText());
        EXPECT_EQ(withTool ? lines.mid(0, 3) << lines.last() : lines, QStringList({"----------------------------------------", "Starting collection.",
                  "Temporary folder created: " + work, withTool ? "ERROR: kext broke" : "ERROR: patchmatic not found."}));
    }
    kextBreaks = false;
    writeFile(work + "/stale.txt", "old");
    model->prepareInitialChecks();
    EXPECT_TRUE(model->logText().contains("] patchmatic found: " + env.toolsFolder() + "/patchmatic\n"));
    model->clearLog();
    model->append("UUID seen earlier: 12345678-1234-1234-1234-123456789ABC");
    model->startCollection();
    ASSERT_TRUE(waitForRunToEnd(*model));
    ASSERT_EQ(model->lastZipURL(), archive) << model->logText().toStdString();
    EXPECT_EQ(env.desktopServices->sounds, std::vector<SoundCue>({SoundCue::Failure, SoundCue::Failure, SoundCue::Success}));
    EXPECT_EQ(QDir(env.desktop()).entryList(all), QStringList{"SendToZantro.zip"});
    EXPECT_EQ(QDir(env.path("tmp")).entryList(all), QStringList());
    const QString in = "SendToZantro_Work/";
    EXPECT_EQ(zipEntries(archive), QStringList({in, in + "ACPI/", in + "ACPI/DSDT.aml", in + "Pmset.txt", in + "Portwright.kext/",
                                                in + "Portwright.kext/Info.plist", in + "collector-log.txt", in + "ioregAPP.txt"}));
    const QString log = runProcess("/usr/bin/unzip", {"-p", archive, in + "collector-log.txt"}, std::nullopt, 30);
    EXPECT_TRUE(QRegularExpression("^\\[[^\n]*\\] UUID seen earlier: XX-MASKED-UUID\n.*\\] Portwright.kext step completed at ZIP root.\n$",
                                   QRegularExpression::DotMatchesEverythingOption).match(log).hasMatch()) << log.toStdString();
    const QStringList lines = logMessages(model->logText());
    EXPECT_TRUE(lines.contains("WARNING: Could not generate ioreg.txt: No registry root."));
    EXPECT_EQ(lines.mid(lines.size() - 3), QStringList({"Creating ZIP on Desktop...", "ZIP created successfully: " + archive,
                                                         "Temporary Desktop folder removed after ZIP creation."}));

    hangs = true;
    model->startCollection();
    ASSERT_TRUE(QTest::qWaitFor([&] { return readText(pid).endsWith('\n'); }, 20000));
    model->startCollection();
    EXPECT_EQ(model->logText().count("Starting collection."), 2);
    EXPECT_TRUE(model->abandonRun(std::chrono::seconds(10)));
    model.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ::kill(readText(pid).trimmed().toInt(), 0) != 0; }, 2000)) << "the run's tool outlived the run";
    EXPECT_FALSE(reachedLaterStep.load());
}
