#include "dumps/CPUFriendDump.h"
#include "dumps/DumpSteps.h"
#include "dumps/SystemReports.h"
#include "kext/USBControllerReports.h"
#include "platform/PropertyListService.h"
#include "platform/linux/LinuxCommandTable.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "privacy/TextMasking.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

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

} // namespace

TEST(LinuxCommandTable, BundledToolsRunFromAFolderWithQuotesAndBlanks)
{
    TestEnvironment env;
    const AppBundle bundle = AppBundle::atBundlePath(env.path("Velkor's \"apps\" $HOME `id` \\ ;|&/Velkor.app"), env.path("home"));
    QDir().mkpath(bundle.toolsPath());
    for (const char* tool : {"power-settings", "system-profiler"})
        ASSERT_TRUE(QFile::copy(builtTool(tool), bundle.toolsPath() + "/" + tool));
    const CommandTable table = linuxCommandTable(bundle);
    EXPECT_TRUE(runProcess(table.powerSettingsDump.program, table.powerSettingsDump.arguments, std::nullopt, 8)
                    .startsWith("System-wide power settings:\n"));
    EXPECT_TRUE(runProcess(table.hardwareOverview.program, table.hardwareOverview.arguments, std::nullopt, 20).startsWith("Hardware:\n"));
}

// A whole dumps run on this machine with the real commands and the built tools: every file
// holds what Linux knows, and none names the machine.
TEST(LinuxCommandTable, OnThisMachineEveryDumpHasRealContentAndNoIdentifier)
{
    StepFixture f;
    f.env.platform.bundle = builtBundle(f.env.path("home"));
    f.env.platform.commands = linuxCommandTable(f.env.platform.bundle);
    collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), {writePCIUSBControllersReport, writeUSBPowerReport});
    collectCPUFriendDump(f.ctx, f.work());
    writeSystemInfo(f.ctx, f.work() + "/system-info.txt");

    const QString w = f.work() + "/";
    for (const char* name : {"Pmset.txt", "Bootargs.txt", "KernelVersion.txt", "SystemVersion.txt", "bootlog.txt", "SysDump-Zantro.spx",
                                "VDADecoderChecker.txt", "AudioCodecs.txt", "KextsLoaded.txt", "PowerManagement.txt", "system-info.txt",
                             "KernelWarnings.txt", "FirmwareBoot.txt"})
        EXPECT_FALSE(readText(w + name).startsWith("Failure/timeout while running ")) << name;
    EXPECT_TRUE(readText(w + "KextsLoaded.txt").contains("\nPCI devices (address, class, vendor:device, subsystem vendor:device, driver):\n"));
    EXPECT_TRUE(readText(w + "FirmwareBoot.txt").contains("\nBoot mode: "));
    EXPECT_EQ(readText(w + "KernelVersion.txt"), maskText(readText("/proc/version").section('\n', 0, 0).section(';', 0, 0)) + "\n");
    EXPECT_EQ(readText(w + "Bootargs.txt"), maskText(readText("/proc/cmdline")));
    EXPECT_TRUE(readText(w + "SystemVersion.txt").contains("PRETTY_NAME="));
    const QString cpuinfo = readText("/proc/cpuinfo");
    if (cpuinfo.contains("model name")) {
        EXPECT_EQ(readText(w + "Cpu.txt"), cpuinfo.mid(cpuinfo.indexOf("model name")).section('\n', 0, 0).section(':', 1).trimmed() + "\n");
    }
    EXPECT_EQ(f.env.platform.propertyLists->validationError(w + "SysDump-Zantro.spx"), std::nullopt);
    EXPECT_TRUE(readText(w + "VDADecoderChecker.txt").contains("\nVDADecoderChecker output:\n"));
    EXPECT_TRUE(readText(w + "PowerManagement.txt").contains("===== pmset -g =====\nSystem-wide power settings:\n"));
    EXPECT_TRUE(readText(w + "system-info.txt").contains("\n\nLinux "));
    EXPECT_TRUE(readText(w + "USBPower.txt").contains("\nSystem sleep states:\n/sys/power/state: "));
    EXPECT_FALSE(readText(w + "USBPower.txt").contains("Failure/timeout while running " + f.env.platform.commands.usbDeviceTree.program));
    EXPECT_TRUE(QFileInfo::exists(w + "CPUFriend-Dump/summary.txt"));
    EXPECT_FALSE(f.log.lines.contains("WARNING: CPUFriend-Dump failed or timed out; partial folder kept in ZIP."));

    // The identifiers the masking rules stand for: firmware serials, the UUID, network addresses.
    QStringList identifiers;
    for (const MachineIdentifier& id : LinuxMachineIdentifierSource().identifiers()) {
        const bool masked = id.kind == IdentifierKind::SerialNumber || id.kind == IdentifierKind::UUID || id.kind == IdentifierKind::MACAddress;
        if (masked && id.value.size() >= 8 && !id.value.contains(' ') && !id.value.startsWith("00:00:00"))
            identifiers << id.value << QString(id.value).replace(':', '-');
    }
    for (const QString& file : filesBelow(f.work()))
        for (const QString& id : identifiers)
            EXPECT_FALSE(readText(file).contains(id, Qt::CaseInsensitive)) << file.toStdString() << " holds " << id.toStdString();
}
