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

// The dumps of this machine, the built tools in a folder with quotes and shell characters: real content, no identifier.
TEST(LinuxCommandTable, OnThisMachineEveryDumpHasRealContentAndNoIdentifier)
{
    StepFixture f;
    f.env.platform.bundle = AppBundle::atBundlePath(f.env.path("Velkor's \"apps\" $HOME `id` \\ ;|&/Velkor.app"), f.env.path("home"));
    QDir().mkpath(f.env.platform.bundle.toolsPath());
    for (const QFileInfo& tool : QDir(builtTool("")).entryInfoList(QDir::Files))
        ASSERT_TRUE(QFile::copy(tool.filePath(), f.env.platform.bundle.toolsPath() + "/" + tool.fileName()));
    f.env.platform.commands = linuxCommandTable(f.env.platform.bundle);
    collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), {writePCIUSBControllersReport, writeUSBPowerReport});
    collectCPUFriendDump(f.ctx, f.work());
    writeSystemInfo(f.ctx, f.work() + "/system-info.txt");

    const QString w = f.work() + "/";
    for (const char* name : {"Bootargs.txt", "KernelVersion.txt", "bootlog.txt", "AudioCodecs.txt", "KernelWarnings.txt"})
        EXPECT_FALSE(readText(w + name).startsWith("Failure/timeout while running ")) << name;
    const std::pair<const char*, QString> fragments[] = {
        {"KextsLoaded.txt", "\nPCI devices (address, class, vendor:device, subsystem vendor:device, driver):\n"},
        {"FirmwareBoot.txt", "\nBoot mode: "}, {"SystemVersion.txt", "PRETTY_NAME="},
        {"VDADecoderChecker.txt", "\nVDADecoderChecker output:\n"}, {"system-info.txt", "\n\nLinux "},
        {"Pmset.txt", "System-wide power settings:\n"}, {"PowerManagement.txt", "===== pmset -g =====\nSystem-wide power settings:\n"},
        {"USBPower.txt", "\nSystem sleep states:\n/sys/power/state: "},
        {"CPUFriend-Dump/summary.txt", "CPU power-management summary\n"}};
    for (const auto& [name, fragment] : fragments)
        EXPECT_TRUE(readText(w + name).contains(fragment)) << name;
    EXPECT_EQ(readText(w + "KernelVersion.txt"), maskText(readText("/proc/version").section('\n', 0, 0).section(';', 0, 0)) + "\n");
    EXPECT_EQ(readText(w + "Bootargs.txt"), maskText(readText("/proc/cmdline")));
    const QString cpu = readText("/proc/cpuinfo");
    EXPECT_TRUE(!cpu.contains("model name")
                || readText(w + "Cpu.txt") == cpu.mid(cpu.indexOf("model name")).section('\n', 0, 0).section(':', 1).trimmed() + "\n");
    EXPECT_EQ(f.env.platform.propertyLists->validationError(w + "SysDump-Zantro.spx"), std::nullopt);
    EXPECT_FALSE(readText(w + "USBPower.txt").contains("Failure/timeout while running " + f.env.platform.commands.usbDeviceTree.program));

    // The identifiers the masking rules stand for: firmware serials, the UUID, network addresses.
    QStringList identifiers;
    for (const MachineIdentifier& id : LinuxMachineIdentifierSource().identifiers())
        if ((id.kind == IdentifierKind::SerialNumber || id.kind == IdentifierKind::UUID || id.kind == IdentifierKind::MACAddress)
            && id.value.size() >= 8 && !id.value.contains(' ') && !id.value.startsWith("00:00:00"))
            identifiers << id.value << QString(id.value).replace(':', '-');
    for (const QString& file : filesBelow(f.work()))
        for (const QString& id : identifiers)
            EXPECT_FALSE(readText(file).contains(id, Qt::CaseInsensitive)) << file.toStdString() << " holds " << id.toStdString();
}
