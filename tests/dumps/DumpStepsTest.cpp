#include "base/CollectorError.h"
#include "dumps/CPUFriendDump.h"
#include "dumps/DumpSteps.h"
#include "dumps/EfiConfigCopy.h"
#include "dumps/SystemReports.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

// The stock commands the dumps run, each with a name of its own.
const std::pair<StockCommand CommandTable::*, const char*> kCommands[] = {
    {&CommandTable::powerSettingsDump, "pmset"}, {&CommandTable::bootArgumentsDump, "bootargs"}, {&CommandTable::kernelVersionDump, "kernel"},
    {&CommandTable::systemVersionDump, "system"}, {&CommandTable::cpuBrandDump, "cpu"}, {&CommandTable::bootLogDump, "bootlog"},
    {&CommandTable::systemProfilerXmlDump, "profiler"}, {&CommandTable::systemVersion, "sw_vers"}, {&CommandTable::kernelIdentity, "uname"},
    {&CommandTable::hardwareOverview, "hardware"}, {&CommandTable::displaysOverview, "displays"}, {&CommandTable::fileType, "filetype"},
    {&CommandTable::loadedKextsFiltered, "kexts"}, {&CommandTable::powerSettings, "settings"}, {&CommandTable::powerAssertions, "assertions"},
    {&CommandTable::powerSchedule, "schedule"}, {&CommandTable::powerCapabilities, "capabilities"}};

// Every stock command as a fake script named after it, all with the same body.
void useForEveryCommand(StepFixture& f, const QString& body)
{
    for (const auto& [field, name] : kCommands)
        f.env.platform.commands.*field = f.fake(name, body);
}

DumpReportWriters fileWritingUsbReports()
{
    return {[](StepContext&, const QString& to) { writeFile(to, "controllers"); },
            [](StepContext&, const QString& to) { writeFile(to, "usb power"); }};
}

} // namespace

TEST(DumpSteps, RunTheThirteenStepsInOrderAndWriteEveryFile)
{
    StepFixture f;
    useForEveryCommand(f, "echo \"$(basename \"$0\") output\"");
    const QString logs = f.env.path("logs");
    QDir().mkpath(logs);
    f.env.addTool("ListCodec.command", "echo 'Codec: Conexant CX20590'");

    collectSweepkitStyleDumps(f.ctx, f.work(), logs, fileWritingUsbReports());

    EXPECT_EQ(f.log.lines.filter(QRegularExpression("^Dump ")),
              QStringList({"Dump 1/9: pmset...", "Dump 2/9: boot-args...", "Dump 3/9: kernel/macOS/CPU...",
                           "Dump 4/9: limited bootlog with timeout...", "Dump 5/9: video decode report...",
                           "Dump 6/9: audio/codecs...", "Dump 7/9: sanitized system_profiler XML with timeout...",
                           "Dump 8/9: looking for already-mounted EFI to copy CLOVER/OC without password hangs...",
                           "Dump 9/13: PCI/USB controller summary...", "Dump 10/13: USB power summary...",
                           "Dump 11/13: filtered loaded kexts...", "Dump 12/13: power management details...",
                           "Dump 13/13: privacy report..."}));
    const QString w = f.work() + "/";
    const std::pair<const char*, const char*> filled[] = {{"Pmset.txt", "pmset"}, {"Bootargs.txt", "bootargs"}, {"KernelVersion.txt", "kernel"},
        {"SystemVersion.txt", "system"}, {"Cpu.txt", "cpu"}, {"bootlog.txt", "bootlog"}, {"SysDump-Zantro.spx", "profiler"}};
    for (const auto& [file, command] : filled)
        EXPECT_EQ(readText(w + file), QString(command) + " output\n") << file;
    EXPECT_EQ(readText(w + "AudioCodecs.txt"), "Codec: Conexant CX20590\n");
    EXPECT_TRUE(readText(w + "VDADecoderChecker.txt").contains("Bundled VDADecoderChecker not found.\n"));
    EXPECT_EQ(readText(w + "PCI-USB-Controllers.txt"), "controllers");
    EXPECT_EQ(readText(w + "USBPower.txt"), "usb power");
    EXPECT_TRUE(readText(w + "KextsLoaded.txt").contains("\nkexts output\n"));
    EXPECT_TRUE(readText(w + "PowerManagement.txt").contains("===== pmset -g cap =====\ncapabilities output\n"));
    // The privacy note goes to the logs folder, exactly, without a final line feed.
    EXPECT_FALSE(QFileInfo::exists(w + "privacy-redaction.txt"));
    EXPECT_EQ(readText(logs + "/privacy-redaction.txt"),
              "Privacy redaction applied before ZIP creation:\n"
              "- SystemSerialNumber, SerialNumber, Serial Number (system), serial_number, BoardSerialNumber\n"
              "- SmUUID, SystemUUID, Hardware UUID, platform_UUID, Provisioning UDID\n"
              "- MLB, ROM, MAC address and equivalent patterns\n"
              "- EFI CLOVER/OC: sanitized config.plist only at root, without extra folders\n"
              "- ioreg.txt and SysDump-Zantro.spx sanitized before entering the ZIP");

    // A failing report writer ends the dumps; the files before it stay.
    QDir(f.work()).removeRecursively();
    QDir().mkpath(f.work());
    f.log.lines.clear();
    DumpReportWriters failing = fileWritingUsbReports();
    failing.writeUSBPowerReport = [](StepContext&, const QString&) { throw PlatformError("disk full"); };
    EXPECT_THROW(collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), failing), PlatformError);
    EXPECT_EQ(f.log.lines.filter(QRegularExpression("^Dump ")).last(), "Dump 10/13: USB power summary...");
    EXPECT_TRUE(QFileInfo::exists(w + "PCI-USB-Controllers.txt"));
    EXPECT_FALSE(QFileInfo::exists(w + "KextsLoaded.txt"));
}

// Every tool prints machine identifiers, some fail as well; none of them may reach a file.
TEST(DumpSteps, PlantedIdentifiersNeverReachAWrittenFile)
{
    StepFixture f;
    const QString serial = "C02XK1ZZJGH5";
    const QString uuid = "4C4C4544-0042-3510-8052-B4C04F4D4D32";
    const QString mac = "b4:2e:99:aa:bb:cc";
    const QString leak = f.env.path("leak.txt");
    writeFile(leak, ("Hardware Overview:\n      Serial Number (system): " + serial + "\n      Hardware UUID: " + uuid
                     + "\n<key>IOPlatformSerialNumber</key>\n<string>" + serial + "</string>\n<key>platform_UUID</key><string>" + uuid
                     + "</string>\nroot=UUID=" + uuid.toLower() + " quiet\nlink/ether " + mac + " brd ff:ff:ff:ff:ff:ff\nHWaddr "
                     + QString(mac).replace(':', '-').toUpper() + "\n").toUtf8());
    useForEveryCommand(f, "cat '" + leak + "'; case \"$(basename \"$0\")\" in cpu|assertions|capabilities) exit 1 ;; esac");
    for (const char* tool : {"VDADecoderChecker", "ListCodec.command"})
        f.env.addTool(tool, "cat '" + leak + "'");
    f.env.addTool("CPUFriend-Dump.command", "cat '" + leak + "'; cat '" + leak + "' > \"$1/cpu.txt\"; cat '" + leak + "' > \"$1/cpu.plist\"");
    const QString efi = f.env.path("EFI");
    writeFile(efi + "/OC/config.plist", ("<plist version=\"1.0\"><dict><key>SystemSerialNumber</key><string>" + serial
                                         + "</string><key>SystemUUID</key><string>" + uuid + "</string><key>ROM</key><data>"
                                         + QString(mac).remove(':') + "</data></dict></plist>").toUtf8());

    collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), {[](StepContext&, const QString& to) { writeFile(to, ""); },
                                                          [](StepContext&, const QString& to) { writeFile(to, ""); }});
    collectCPUFriendDump(f.ctx, f.work());
    writeSystemInfo(f.ctx, f.work() + "/system-info.txt");
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {efi});

    const QStringList files = filesBelow(f.work());
    EXPECT_GE(files.size(), 17);
    for (const QString& file : files)
        for (const QString& identifier : {serial, uuid, mac, QString(mac).replace(':', '-'), QString(mac).remove(':')})
            EXPECT_FALSE(readText(file).contains(identifier, Qt::CaseInsensitive)) << file.toStdString() << " holds " << identifier.toStdString();
}

TEST(AudioCodecs, TheListersOutputMaskedOrTheNoteOrTheFailureText)
{
    StepFixture f;
    const QString target = f.work() + "/AudioCodecs.txt";
    const QString none = "No codec detected or audio tools unavailable.\n";
    writeAudioCodecsReport(std::nullopt, target);
    EXPECT_EQ(readText(target), none);
    writeAudioCodecsReport(writeScript(f.env.path("blank.command"), "printf '\\n  \\n\\t\\n'"), target);
    EXPECT_EQ(readText(target), none);

    // Run by bash even without its execute bit.
    const QString lister = f.env.path("List Codec's.command");
    writeFile(lister, "[ -n \"$BASH_VERSION\" ] && echo 'Codec: Realtek ALC892'\necho 'mac 00:1B:63:84:45:E6'\n");
    writeAudioCodecsReport(lister, target);
    EXPECT_EQ(readText(target), "Codec: Realtek ALC892\nmac XX:XX:XX:XX:XX:XX\n");

    const QString failing = writeScript(f.env.path("ListCodec.command"), "echo partial; exit 3");
    writeAudioCodecsReport(failing, target);
    EXPECT_EQ(readText(target), "Failure/timeout while running /bin/bash " + failing);
}
