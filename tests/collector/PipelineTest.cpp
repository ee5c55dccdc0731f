#include "base/CollectorError.h"
#include "collector/CollectorModel.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

// Steps that each leave one file, so a run can be followed through the package.
CollectionSteps recordingSteps()
{
    CollectionSteps steps;
    steps.extractACPIWithValidation = [](StepContext& context, const QString&, const QString& acpi) {
        writeFile(acpi + "/DSDT.aml", "DSDT");
        context.log.log("fake ACPI step ran");
    };
    steps.collectSweepkitStyleDumps = [](StepContext&, const QString& work, const QString&) {
        writeFile(work + "/Pmset.txt", "serial: 12345678-1234-1234-1234-123456789ABC\n");
    };
    steps.writeFallbackIORegText = [](StepContext&, const QString& to) { writeFile(to, "registry"); };
    steps.generatePortwrightKext = [](StepContext&, const QString& work) {
        writeFile(work + "/Portwright.kext/Contents/Info.plist", "<plist/>");
    };
    steps.writeSystemInfo = [](StepContext&, const QString& to) { writeFile(to, "Velkor"); };
    return steps;
}

} // namespace

TEST(Pipeline, WithoutPatchmaticLogsTheFourLinesAndKeepsTheEmptyFolders)
{
    TestEnvironment env;
    CollectorModel model(env.platform, recordingSteps());
    model.startCollection();
    ASSERT_TRUE(waitForRunToEnd(model));
    const QString work = env.desktop() + "/SendToZantro_Work";
    EXPECT_EQ(logMessages(model.logText()),
              QStringList({"----------------------------------------", "Starting collection.",
                           "Temporary folder created: " + work, "ERROR: patchmatic not found."}));
    EXPECT_TRUE(QDir(work + "/ACPI").exists());
    EXPECT_TRUE(QDir(work + "/ACPI").isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_EQ(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"ACPI"});
    EXPECT_TRUE(model.lastZipURL().isEmpty());
    ASSERT_EQ(env.desktopServices->sounds.size(), 1u);
    EXPECT_EQ(env.desktopServices->sounds[0], SoundCue::Failure);
    EXPECT_TRUE(QDir(env.path("tmp")).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST(Pipeline, SuccessfulRunLeavesOneArchiveWithTheWorkFolderAsItsOnlyTopEntryAndTheMaskedLog)
{
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    // Left over from an earlier failed run: must be gone from the package.
    writeFile(env.desktop() + "/SendToZantro_Work/stale.txt", "old");
    writeFile(env.desktop() + "/SendToZantro.zip", "an older archive");
    CollectorModel model(env.platform, recordingSteps());
    model.prepareInitialChecks();
    model.clearLog(); // the log file holds only what came after
    model.append("UUID seen earlier: 12345678-1234-1234-1234-123456789ABC");
    model.startCollection();
    ASSERT_TRUE(waitForRunToEnd(model));

    const QString archive = env.desktop() + "/SendToZantro.zip";
    ASSERT_EQ(model.lastZipURL(), archive) << model.logText().toStdString();
    EXPECT_FALSE(QFileInfo::exists(env.desktop() + "/SendToZantro_Work"));
    EXPECT_EQ(env.desktopServices->sounds, std::vector<SoundCue>{SoundCue::Success});

    const QStringList entries = zipEntries(archive);
    for (const QString& entry : entries)
        EXPECT_TRUE(entry.startsWith("SendToZantro_Work/")) << entry.toStdString();
    EXPECT_TRUE(entries.contains("SendToZantro_Work/"));
    EXPECT_TRUE(entries.contains("SendToZantro_Work/ACPI/DSDT.aml"));
    EXPECT_TRUE(entries.contains("SendToZantro_Work/Portwright.kext/Contents/Info.plist"));
    EXPECT_TRUE(entries.contains("SendToZantro_Work/ioregAPP.txt"));
    EXPECT_FALSE(entries.contains("SendToZantro_Work/stale.txt"));

    QTemporaryDir unpacked;
    runProcess("/usr/bin/unzip", {"-q", archive, "-d", unpacked.path()}, std::nullopt, 30);
    const QString log = readText(unpacked.filePath("SendToZantro_Work/collector-log.txt"));
    EXPECT_TRUE(log.startsWith("[") && !log.contains("App started.")) << log.toStdString();
    EXPECT_TRUE(log.endsWith("] Portwright.kext step completed at ZIP root.\n")) << log.toStdString();
    EXPECT_FALSE(log.contains("Creating ZIP on Desktop..."));
    EXPECT_TRUE(log.contains("UUID seen earlier: XX-MASKED-UUID"));
    EXPECT_TRUE(model.logText().contains("UUID seen earlier: 12345678-1234-1234-1234-123456789ABC"));
    EXPECT_EQ(readText(unpacked.filePath("SendToZantro_Work/ioregAPP.txt")), "IODeviceTree listing\n");

    const QStringList lines = logMessages(model.logText());
    const qsizetype running = lines.indexOf("Running privileged ACPI extraction with bundled patchmatic...");
    ASSERT_GE(running, 0);
    EXPECT_EQ(lines.value(running + 1), "fake ACPI step ran");
    EXPECT_TRUE(lines.value(running + 2).startsWith("ACPI step completed: "));
    EXPECT_EQ(lines.mid(lines.size() - 3),
              QStringList({"Creating ZIP on Desktop...", "ZIP created successfully: " + archive,
                           "Temporary Desktop folder removed after ZIP creation."}));
}

TEST(Pipeline, FailedRegistryTextIsAWarningAndTheRunGoesOn)
{
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    CollectionSteps steps = recordingSteps();
    steps.writeFallbackIORegText = [](StepContext&, const QString&) {
        throw CollectorError::operationFailed("Could not open IORegistry root entry for ioreg.txt fallback.");
    };
    CollectorModel model(env.platform, steps);
    model.startCollection();
    ASSERT_TRUE(waitForRunToEnd(model));
    EXPECT_FALSE(model.lastZipURL().isEmpty());
    EXPECT_TRUE(logMessages(model.logText())
                    .contains("WARNING: Could not generate ioreg.txt: Could not open IORegistry root entry for ioreg.txt fallback."));
}

TEST(Pipeline, FailureBeforeTheArchiveKeepsTheEarlierArchive)
{
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    writeFile(env.desktop() + "/SendToZantro.zip", "an older archive");
    CollectionSteps steps = recordingSteps();
    steps.generatePortwrightKext = [](StepContext&, const QString&) { throw CollectorError::operationFailed("kext broke"); };
    CollectorModel model(env.platform, steps);
    model.startCollection();
    ASSERT_TRUE(waitForRunToEnd(model));
    EXPECT_EQ(readText(env.desktop() + "/SendToZantro.zip"), "an older archive");
    EXPECT_TRUE(model.lastZipURL().isEmpty());
    EXPECT_EQ(logMessages(model.logText()).last(), "ERROR: kext broke");
    EXPECT_TRUE(QFileInfo(env.desktop() + "/SendToZantro_Work/Pmset.txt").exists());
}
