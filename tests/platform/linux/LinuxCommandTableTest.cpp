#include "dumps/CPUFriendDump.h"
#include "dumps/DumpSteps.h"
#include "dumps/DumpsTestSupport.h"
#include "dumps/EfiConfigCopy.h"
#include "platform/linux/LinuxCommandTable.h"
#include "dumps/MachineIdentifiers.h"
#include "dumps/SystemReports.h"
#include "platform/PropertyListService.h"
#include "privacy/TextMasking.h"
#include "process/ProcessRunner.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

// The bundle the build made, with every bundled tool in its Resources/Tools.
AppBundle builtBundle(const QString& home)
{
    QString bundle = builtTool("");
    bundle.chop(QString("/Contents/Resources/Tools/").size());
    return AppBundle::atBundlePath(bundle, home);
}

QString firstLineBefore(const QString& text, QChar stop)
{
    const QString line = text.section('\n', 0, 0);
    return line.section(stop, 0, 0);
}

} // namespace

TEST(LinuxCommandTable, BundledToolsRunFromAFolderWithQuotesAndBlanks)
{
    TestEnvironment env;
    const AppBundle bundle = AppBundle::atBundlePath(env.path("Velkor's \"apps\" $HOME `id` \\ ;|&/Velkor.app"), env.path("home"));
    QDir().mkpath(bundle.toolsPath());
    for (const QString& tool : QStringList{"power-settings", "system-profiler"})
        ASSERT_TRUE(QFile::copy(builtTool(tool), bundle.toolsPath() + "/" + tool));
    const CommandTable table = linuxCommandTable(bundle);

    const StockCommand& pmset = table.powerSettingsDump;
    EXPECT_EQ(pmset.program, "/bin/sh");
    EXPECT_TRUE(runProcess(pmset.program, pmset.arguments, std::nullopt, 8).startsWith("System-wide power settings:\n"));
    const StockCommand& hardware = table.hardwareOverview;
    EXPECT_TRUE(runProcess(hardware.program, hardware.arguments, std::nullopt, 20).startsWith("Hardware:\n"));
}

// A whole dumps run on this machine with the real commands and the built tools: every file
// holds what Linux knows, and none names the machine.
TEST(LinuxCommandTable, OnThisMachineEveryDumpHasRealContentAndNoIdentifier)
{
    TestEnvironment env;
    env.platform.bundle = builtBundle(env.path("home"));
    env.platform.commands = linuxCommandTable(env.platform.bundle);
    RecordingLog log;
    StepContext ctx{log, env.platform};
    const QString work = env.path("work");
    QDir().mkpath(work);
    const DumpReportWriters usbReports{[](StepContext&, const QString& to) { writeFile(to, "controllers"); },
                                       [](StepContext&, const QString& to) { writeFile(to, "usb power"); }};

    collectSweepkitStyleDumps(ctx, work, work, usbReports);
    collectCPUFriendDump(ctx, work);
    writeSystemInfo(ctx, work + "/system-info.txt");

    const QString w = work + "/";
    for (const QString& name : QStringList{"Pmset.txt", "Bootargs.txt", "KernelVersion.txt", "SystemVersion.txt", "bootlog.txt",
                                "SysDump-Zantro.spx", "VDADecoderChecker.txt", "AudioCodecs.txt", "KextsLoaded.txt",
                                "PowerManagement.txt", "system-info.txt", "KernelWarnings.txt", "FirmwareBoot.txt"})
        EXPECT_FALSE(readText(w + name).startsWith("Failure/timeout while running ")) << name.toStdString();
    EXPECT_TRUE(readText(w + "KextsLoaded.txt").contains("\nPCI devices (address, class, vendor:device, subsystem vendor:device, driver):\n"));
    EXPECT_TRUE(readText(w + "FirmwareBoot.txt").contains("\nBoot mode: "));

    EXPECT_EQ(readText(w + "KernelVersion.txt"), maskText(firstLineBefore(readText("/proc/version"), ';')) + "\n");
    EXPECT_EQ(readText(w + "Bootargs.txt"), maskText(readText("/proc/cmdline")));
    EXPECT_TRUE(readText(w + "SystemVersion.txt").contains("PRETTY_NAME="));
    const QString cpuinfo = readText("/proc/cpuinfo");
    const qsizetype model = cpuinfo.indexOf("model name");
    if (model >= 0) {
        EXPECT_EQ(readText(w + "Cpu.txt"), cpuinfo.mid(model).section('\n', 0, 0).section(':', 1).trimmed() + "\n");
    }
    EXPECT_EQ(env.platform.propertyLists->validationError(w + "SysDump-Zantro.spx"), std::nullopt);
    EXPECT_TRUE(readText(w + "VDADecoderChecker.txt").contains("\nVDADecoderChecker output:\n"));
    EXPECT_TRUE(readText(w + "PowerManagement.txt").contains("===== pmset -g =====\nSystem-wide power settings:\n"));
    EXPECT_TRUE(readText(w + "system-info.txt").contains("\n\nLinux "));
    EXPECT_TRUE(QFileInfo::exists(w + "CPUFriend-Dump/summary.txt"));
    EXPECT_FALSE(log.lines.contains("WARNING: CPUFriend-Dump failed or timed out; partial folder kept in ZIP."));

    const MachineIdentifiers ids = MachineIdentifiers::ofThisMachine();
    for (const QString& file : filesBelow(work))
        EXPECT_EQ(ids.foundIn(readText(file)), QStringList()) << file.toStdString();
}

// Every tool prints this machine's identifiers; none of them may reach a file.
TEST(DumpsPrivacy, PlantedIdentifiersNeverReachAWrittenFile)
{
    DumpsFixture f;
    const MachineIdentifiers ids = MachineIdentifiers::ofThisMachine();
    const QString leak = f.env.path("leak.txt");
    writeFile(leak, ids.asToolOutput().toUtf8());
    const StockCommand leaking = f.fake("leaking", "cat '" + leak + "'");
    const StockCommand leakingThenFailing = f.fake("leaking-failing", "cat '" + leak + "'; exit 1");
    CommandTable& c = f.env.platform.commands;
    for (StockCommand* command : {&c.powerSettingsDump, &c.bootArgumentsDump, &c.kernelVersionDump, &c.systemVersionDump,
                                  &c.bootLogDump, &c.systemProfilerXmlDump, &c.systemVersion, &c.kernelIdentity,
                                  &c.hardwareOverview, &c.displaysOverview, &c.fileType, &c.loadedKextsFiltered,
                                  &c.powerSettings, &c.powerSchedule})
        *command = leaking;
    c.cpuBrandDump = leakingThenFailing;
    c.powerAssertions = leakingThenFailing;
    c.powerCapabilities = leakingThenFailing;
    for (const QString& tool : QStringList{"VDADecoderChecker", "ListCodec.command"})
        f.env.addTool(tool, "cat '" + leak + "'");
    f.env.addTool("CPUFriend-Dump.command", "cat '" + leak + "'; cat '" + leak + "' > \"$1/cpu.txt\"; cat '" + leak
                                                + "' > \"$1/cpu.plist\"");
    const QString efi = f.env.path("EFI");
    writeFile(efi + "/OC/config.plist",
              ("<plist version=\"1.0\"><dict><key>SystemSerialNumber</key><string>" + ids.serial
               + "</string><key>SystemUUID</key><string>" + ids.uuid + "</string><key>ROM</key><data>"
               + QString(ids.macs.first()).remove(':') + "</data></dict></plist>")
                  .toUtf8());

    collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), {[](StepContext&, const QString& to) { writeFile(to, ""); },
                                                          [](StepContext&, const QString& to) { writeFile(to, ""); }});
    collectCPUFriendDump(f.ctx, f.work());
    writeSystemInfo(f.ctx, f.work() + "/system-info.txt");
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {efi});

    const QStringList files = filesBelow(f.work());
    EXPECT_GE(files.size(), 17);
    for (const QString& file : files) {
        const QString text = readText(file);
        EXPECT_EQ(ids.foundIn(text), QStringList()) << file.toStdString() << "\n" << text.toStdString();
        EXPECT_FALSE(text.contains(QString(ids.macs.first()).remove(':'), Qt::CaseInsensitive)) << file.toStdString();
    }
}

TEST(LinuxCommandTable, USBReportToolsSucceedWhereSysfsIsThin)
{
    TestEnvironment env;
    const CommandTable table = linuxCommandTable(builtBundle(env.path("home")));
    // The tools read what the machine has and never fail for a missing file or tool.
    const QString settings = runProcess(table.usbPowerSettings.program, table.usbPowerSettings.arguments, std::nullopt, 8);
    EXPECT_TRUE(settings.contains("System sleep states:\n/sys/power/state: ")) << settings.toStdString();
    EXPECT_TRUE(settings.contains("Power sources:\n")) << settings.toStdString();
    const QString tree = runProcess(table.usbDeviceTree.program, table.usbDeviceTree.arguments, std::nullopt, 25);
    EXPECT_FALSE(tree.isEmpty());
    EXPECT_FALSE(tree.contains("No such file")) << tree.toStdString();
}
