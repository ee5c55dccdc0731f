#include "base/CollectorError.h"
#include "dumps/BootFacts.h"
#include "dumps/CPUFriendDump.h"
#include "dumps/DumpSteps.h"
#include "dumps/EfiConfigCopy.h"
#include "dumps/SystemReports.h"
#include "platform/PrivilegedFacts.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QRegularExpression>
#include <QtEndian>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

// The file's text with its time stamp, when well-formed, shown as "<stamp>".
QString stamped(const QString& file)
{
    static const QRegularExpression stamp("^(Generated|Date): \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$",
                                          QRegularExpression::MultilineOption);
    return readText(file).replace(stamp, "\\1: <stamp>");
}

const DumpReportWriters kUsbReports{[](StepContext&, const QString& to) { writeFile(to, "controllers"); },
                                    [](StepContext&, const QString& to) { writeFile(to, "usb power"); }};

template <typename T> QByteArray le(T value) { QByteArray bytes(sizeof value, 0); qToLittleEndian(value, bytes.data()); return bytes; }
QByteArray utf16z(const QString& s) { return QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2) + le<quint16>(0); }
QByteArray node(int type, int subtype, const QByteArray& data)
{
    return char(type) + QByteArray(1, char(subtype)) + le<quint16>(4 + data.size()) + data;
}
// A Boot#### variable as efivarfs shows it: attribute word, then the load option.
QByteArray bootVariable(quint32 attributes, const QString& name, const QByteArray& path)
{
    return le<quint32>(7) + le(attributes) + le<quint16>(path.size()) + utf16z(name) + path;
}


const QByteArray kConfig = "<plist version=\"1.0\"><dict><key>SerialNumber</key><string>C02XK1ZZJV3Q</string></dict></plist>\n";
bool maskedCopy(const QString& file)
{
    return readText(file).contains(QRegularExpression("<key>SerialNumber</key>\\s*<string>XX-MASKED-XX</string>"));
}
const QString kOpenCoreCopied = "OC config.plist copied as OC-config.plist and sanitized at root.";

} // namespace

// Every tool prints machine identifiers, some fail: steps in order, files in place, none unmasked.
TEST(DumpSteps, RunTheThirteenStepsInOrderAndNoIdentifierReachesAFile)
{
    StepFixture f;
    const QString serial = "C02XK1ZZJGH5", uuid = "4C4C4544-0042-3510-8052-B4C04F4D4D32", mac = "b4:2e:99:aa:bb:cc";
    const QString leak = f.env.path("leak.txt"), logs = f.env.path(""), w = f.work() + "/", efi = f.env.path("EFI");
    writeFile(leak, ("Hardware Overview:\n      Serial Number (system): " + serial + "\n      Hardware UUID: " + uuid
                     + "\n<key>IOPlatformSerialNumber</key>\n<string>" + serial + "</string>\n<key>platform_UUID</key><string>" + uuid
                     + "</string>\nroot=UUID=" + uuid.toLower() + " quiet\nlink/ether " + mac + " brd ff:ff:ff:ff:ff:ff\nHWaddr "
                     + QString(mac).replace(':', '-').toUpper() + "\n").toUtf8());
    const std::pair<StockCommand CommandTable::*, const char*> commands[] = {
        {&CommandTable::powerSettingsDump, "pmset"}, {&CommandTable::bootArgumentsDump, "bootargs"},
        {&CommandTable::kernelVersionDump, "kernel"}, {&CommandTable::systemVersionDump, "system"},
        {&CommandTable::cpuBrandDump, "cpu"}, {&CommandTable::bootLogDump, "bootlog"},
        {&CommandTable::systemProfilerXmlDump, "profiler"}, {&CommandTable::systemVersion, "sw_vers"},
        {&CommandTable::kernelIdentity, "uname"}, {&CommandTable::hardwareOverview, "hardware"},
        {&CommandTable::displaysOverview, "displays"}, {&CommandTable::fileType, "filetype"},
        {&CommandTable::loadedKextsFiltered, "kexts"}, {&CommandTable::powerSettings, "settings"},
        {&CommandTable::powerAssertions, "assertions"}, {&CommandTable::powerSchedule, "schedule"},
        {&CommandTable::powerCapabilities, "capabilities"}, {&CommandTable::kernelWarningsDump, "warnings"}};
    for (const auto& [field, name] : commands) // each prints its name, then the identifiers; two fail
        f.env.platform.commands.*field = f.fake(name, "n=$(basename \"$0\"); echo \"$n output\"; cat '" + leak
                                                          + "'; case $n in cpu|assertions) exit 1;; esac");
    f.env.addTool("VDADecoderChecker", "cat '" + leak + "'");
    f.env.addTool("ListCodec.command", "echo 'Codec: Conexant CX20590'; cat '" + leak + "'");
    writeFile(efi + "/OC/config.plist", ("<plist version=\"1.0\"><dict><key>SystemSerialNumber</key><string>" + serial
                                         + "</string><key>SystemUUID</key><string>" + uuid + "</string><key>ROM</key><data>"
                                         + QString(mac).remove(':') + "</data></dict></plist>").toUtf8());
    f.env.platform.efiRoots = {efi};
    collectCPUFriendDump(f.ctx, f.work()); // without the script, only the note is left
    EXPECT_EQ(readText(w + "CPUFriend-Dump/CPUFriend-Dump-skipped.txt"), "CPUFriend-Dump.command was not found in bundled Resources/Tools. "
              "CPUFriend diagnostics were skipped, but the main SendToZantro.zip generation can continue.\n");
    EXPECT_EQ(f.log.lines, QStringList{"WARNING: CPUFriend-Dump.command not found; CPUFriend diagnostics skipped."});
    const QString cpuFriend = f.env.addTool("CPUFriend-Dump", "cat '" + leak + "'; cat '" + leak + "' > \"$1/cpu.txt\"; cat '"
                                                                  + leak + "' > \"$1/cpu.plist\"");
    QFile::setPermissions(cpuFriend, QFileDevice::ReadOwner); // found under its short name too, its execute bit given back

    collectSweepkitStyleDumps(f.ctx, f.work(), logs, kUsbReports);
    collectCPUFriendDump(f.ctx, f.work());
    writeSystemInfo(f.ctx, w + "system-info.txt");

    EXPECT_EQ(f.log.lines.filter(QRegularExpression("^Dump ")),
              QStringList({"Dump 1/9: pmset...", "Dump 2/9: boot-args...", "Dump 3/9: kernel/macOS/CPU...",
                           "Dump 4/9: limited bootlog with timeout...", "Dump 5/9: video decode report...", "Dump 6/9: audio/codecs...",
                           "Dump 7/9: sanitized system_profiler XML with timeout...",
                           "Dump 8/9: looking for already-mounted EFI to copy CLOVER/OC without password hangs...",
                           "Dump 9/13: PCI/USB controller summary...", "Dump 10/13: USB power summary...",
                           "Dump 11/13: filtered loaded kexts...", "Dump 12/13: power management details...",
                           "Dump 13/13: privacy report..."}));
    const std::pair<const char*, const char*> starts[] = {{"Pmset.txt", "pmset output\n"}, {"Bootargs.txt", "bootargs output\n"},
        {"KernelVersion.txt", "kernel output\n"}, {"SystemVersion.txt", "system output\n"}, {"Cpu.txt", "Failure/timeout while running "},
        {"bootlog.txt", "bootlog output\n"}, {"SysDump-Zantro.spx", "profiler output\n"}, {"AudioCodecs.txt", "Codec: Conexant CX20590\n"},
        {"PCI-USB-Controllers.txt", "controllers"}, {"USBPower.txt", "usb power"}, {"OC-config.plist", "<?xml"},
        {"VDADecoderChecker.txt", "Velkor Video Decode Report\n"}, {"KextsLoaded.txt", "Velkor Filtered Loaded Kexts Report\n"},
        {"PowerManagement.txt", "Velkor Power Management Report\n"},
        {"FirmwareBoot.txt", "Velkor Firmware Boot Report\n\nBoot mode: legacy BIOS (no /sys/firmware/efi)\n"},
        {"KernelWarnings.txt", "Velkor Kernel Warnings Report\n"}};
    for (const auto& [file, start] : starts)
        EXPECT_TRUE(readText(w + file).startsWith(start)) << file;
    EXPECT_EQ(QDir(w + "CPUFriend-Dump").entryList(QDir::Files, QDir::Name), QStringList({"CPUFriend-Dump-run.log", "cpu.plist", "cpu.txt"}));
    EXPECT_TRUE(QFileInfo(cpuFriend).isExecutable());
    // The privacy note goes to the logs folder, exactly, without a final line feed.
    EXPECT_EQ(readText(logs + "/privacy-redaction.txt"),
              "Privacy redaction applied before ZIP creation:\n"
              "- SystemSerialNumber, SerialNumber, Serial Number (system), serial_number, BoardSerialNumber\n"
              "- SmUUID, SystemUUID, Hardware UUID, platform_UUID, Provisioning UDID\n- MLB, ROM, MAC address and equivalent patterns\n"
              "- EFI CLOVER/OC: sanitized config.plist only at root, without extra folders\n"
              "- ioreg.txt and SysDump-Zantro.spx sanitized before entering the ZIP");
    for (const QString& file : filesBelow(f.work()))
        for (const QString& identifier : {serial, uuid, mac, QString(mac).replace(':', '-'), QString(mac).remove(':')})
            EXPECT_FALSE(readText(file).contains(identifier, Qt::CaseInsensitive)) << file.toStdString() << " holds " << identifier.toStdString();

    // A failing report writer ends the dumps; the files before it stay.
    QDir(f.work()).removeRecursively();
    QDir().mkpath(f.work());
    DumpReportWriters failing = kUsbReports;
    failing.writeUSBPowerReport = [](StepContext&, const QString&) { throw PlatformError("disk full"); };
    EXPECT_THROW(collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), failing), PlatformError);
    EXPECT_EQ(f.log.lines.last(), "Dump 10/13: USB power summary...");
    EXPECT_TRUE(QFileInfo::exists(w + "PCI-USB-Controllers.txt") && !QFileInfo::exists(w + "KextsLoaded.txt"));
}

// A script that fails or runs past its time-out leaves the reason and its partial folder.
TEST(CPUFriendDump, AFailingOrHangingScriptLeavesWhyAndItsPartialFolder)
{
    StepFixture f;
    const QString folder = f.work() + "/CPUFriend-Dump", runLog = folder + "/CPUFriend-Dump-run.log";
    const QString intro = "CPUFriend-Dump failed or timed out. Main Velkor collection continued safely.\n\n";
    const QString failing = f.env.addTool("CPUFriend-Dump.command", "echo partial > \"$1/partial.txt\"\necho started\nexit 1");
    collectCPUFriendDump(f.ctx, f.work());
    EXPECT_EQ(readText(runLog), intro + "Command failed: /bin/bash " + failing + " " + folder + "\nstarted\n\n");
    EXPECT_EQ(readText(folder + "/partial.txt"), "partial\n");
    EXPECT_EQ(f.log.lines, QStringList{"WARNING: CPUFriend-Dump failed or timed out; partial folder kept in ZIP."});
    f.env.addTool("CPUFriend-Dump.command", "echo started\nexec sleep 30");
    collectCPUFriendDumpWithTimeout(f.ctx, f.work(), 1);
    EXPECT_TRUE(readText(runLog).startsWith(intro + "Timeout after 1s: /bin/bash ")) << readText(runLog).toStdString();
    EXPECT_TRUE(readText(runLog).endsWith("\nstarted\n\n"));
}

TEST(Reports, EachBlockOfEachReportInItsPlaceWithTheFailuresExplained)
{
    StepFixture f;
    CommandTable& c = f.env.platform.commands;
    c.systemVersion = f.fake("sw_vers", "printf 'ProductName:\\tmacOS\\n'");
    c.kernelIdentity = f.fake("uname", "exit 2");
    c.hardwareOverview = f.fake("profiler", "printf 'Hardware:\\n      Serial Number (system): C02XK1ZZJGH5\\n'");
    c.displaysOverview = f.fake("displays", "echo 'Graphics/Displays:'");
    c.fileType = f.fake("file", "echo \"  $1: POSIX shell script  \"");
    c.powerSettings = f.fake("settings", "echo ' hibernatemode 3'");
    c.powerAssertions = {f.fake("assertions", "echo partial; exit 1").program, {"-g", "assertions"}};
    c.powerSchedule = f.fake("schedule", "true");
    c.powerCapabilities = f.fake("capabilities", "printf 'S3 S4'");
    // grep finds no line: the shell exits 1, and the failure text names the whole command line.
    c.loadedKextsFiltered = {"/bin/sh", {"-c", "printf 'zram 1 0\\n' | /usr/bin/grep -E -i 'usb|xhci'"}};
    const QString to = f.work() + "/report.txt";

    writeSystemInfo(f.ctx, to);
    EXPECT_EQ(stamped(to), "Velkor\n\nDate: <stamp>\n\nIORegistry text dump: native ioreg.txt generated from live IOKit data; "
                           "no Automation permission required\n\nProductName:\tmacOS\n\n\nFailure/timeout while running "
                           + c.kernelIdentity.program + " \n\nHardware:\n      Serial Number (system): XX-MASKED-XX-MASKED-XX\n");
    writePowerManagementReport(f.ctx, to);
    EXPECT_EQ(stamped(to), "Velkor Power Management Report\nGenerated: <stamp>\n\n===== pmset -g =====\n hibernatemode 3\n\n\n"
                           "===== pmset -g assertions =====\nFailure/timeout while running " + c.powerAssertions.program
                           + " -g assertions\n\n===== pmset -g sched =====\n\n\n===== pmset -g cap =====\nS3 S4\n\n");
    writeKextsLoadedReport(f.ctx, to);
    const QString kexts = "Velkor Filtered Loaded Kexts Report\nGenerated: <stamp>\n\n";
    EXPECT_EQ(stamped(to), kexts + "Failure/timeout while running /bin/sh -c printf 'zram 1 0\\n' | /usr/bin/grep -E -i 'usb|xhci'\n");
    c.loadedKextsFiltered = f.fake("empty", "printf ' \\n'");
    writeKextsLoadedReport(f.ctx, to);
    EXPECT_EQ(stamped(to), kexts + "No matching loaded kexts found or kmutil/kextstat unavailable.\n");

    const QString video = "Velkor Video Decode Report\nGenerated: <stamp>\n\n";
    writeVDADecoderReport(f.ctx, to, std::nullopt);
    EXPECT_EQ(stamped(to), video + "Bundled VDADecoderChecker not found.\n\nSPDisplaysDataType fallback:\nGraphics/Displays:\n\n");
    // Its execute bit is given back; what it prints is trimmed at the ends.
    const QString tool = f.env.addTool("VDADecoderChecker", "printf '\\n  HEVC: supported\\n  adapter\\n\\n'");
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    c.displaysOverview = f.fake("displays", "exit 1");
    writeVDADecoderReport(f.ctx, to, tool);
    EXPECT_EQ(stamped(to), video + "Bundled VDADecoderChecker: " + tool + "\n" + tool + ": POSIX shell script\n\n"
                                   "VDADecoderChecker output:\nHEVC: supported\n  adapter\n\nSPDisplaysDataType fallback:\n"
                                   "Failure/timeout while running " + c.displaysOverview.program + " \n");
    writeScript(tool, "printf '\\n\\n'");
    writeVDADecoderReport(f.ctx, to, tool);
    EXPECT_TRUE(readText(to).contains("\n\nVDADecoderChecker output:\nNo output.\n\n"));
    // A tool that fails or cannot start is explained, and the fallback follows.
    writeScript(tool, "echo 'bad CPU type'; exit 86");
    writeVDADecoderReport(f.ctx, to, tool);
    EXPECT_TRUE(readText(to).contains("\n\nVDADecoderChecker could not run on this macOS/architecture:\nCommand failed: " + tool
                                      + " \nbad CPU type\n\n\nFallback display report below was collected instead.\n\n"
                                      "SPDisplaysDataType fallback:\n"));
    writeVDADecoderReport(f.ctx, to, f.env.path("nowhere/VDADecoderChecker"));
    EXPECT_TRUE(readText(to).contains("VDADecoderChecker could not run on this macOS/architecture:\nCould not launch"));

    // The codec lister: its output, the note when it prints nothing or is missing, its failure.
    for (const auto& lister : {std::optional<QString>(), std::optional(writeScript(f.env.path("blank.command"), "printf '\\n  \\n\\t\\n'"))}) {
        writeAudioCodecsReport(lister, to);
        EXPECT_EQ(readText(to), "No codec detected or audio tools unavailable.\n");
    }
    const QString lister = f.env.path("List Codec's.command"); // run by bash even without its execute bit
    writeFile(lister, "[ -n \"$BASH_VERSION\" ] && echo 'Codec: Realtek ALC892'\n");
    writeAudioCodecsReport(lister, to);
    EXPECT_EQ(readText(to), "Codec: Realtek ALC892\n");
    writeAudioCodecsReport(writeScript(f.env.path("ListCodec.command"), "echo partial; exit 3"), to);
    EXPECT_EQ(readText(to), "Failure/timeout while running /bin/bash " + f.env.path("ListCodec.command"));

    // The firmware's boot entries: description and device path, the MAC and disk GUID masked, a cut one named so.
    const QString vars = f.env.platform.machineRoot + "/sys/firmware/efi/efivars/", global = "-8be4df61-93ca-11d2-aa0d-00e098032b8c";

    const QByteArray pciRoot = node(2, 1, le<quint32>(0x0a0341d0) + le<quint32>(0)), end = node(0x7f, 0xff, {});
    const QByteArray disk = pciRoot + node(1, 1, QByteArray::fromHex("0017")) + node(3, 0x17, le<quint32>(1) + QByteArray(8, 0))
        + node(4, 1, le<quint32>(1) + le<quint64>(0x800) + le<quint64>(0x100000)
                         + QByteArray::fromHex("78563412cdab0120aabbccddeeff0011") + "\x02\x02")
        + node(4, 4, utf16z("\\EFI\\OC\\OpenCore.efi")) + end;
    const QByteArray network = pciRoot + node(1, 1, QByteArray::fromHex("0003"))
        + node(3, 11, QByteArray::fromHex("b42e99aabbcc") + QByteArray(26, 0) + "\x01") + node(0x99, 2, "\xab") + end;
    writeFile(vars + "SecureBoot" + global, le<quint32>(6) + "\x01");
    writeFile(vars + "SetupMode" + global, le<quint32>(6) + QByteArray(1, 0));
    writeFile(vars + "BootCurrent" + global, le<quint32>(6) + le<quint16>(0x000a));
    writeFile(vars + "BootOrder" + global, le<quint32>(7) + le<quint16>(0x000a) + le<quint16>(0x0001));
    writeFile(vars + "Boot000A" + global, bootVariable(1, "OpenCore", disk));
    writeFile(vars + "Boot0001" + global, bootVariable(0, "UEFI PXE: IPv4 Intel(R) Ethernet", network));
    writeFile(vars + "Boot0002" + global, le<quint32>(7) + "\x01\x00");
    writeFile(vars + "BootNext-other-vendor", le<quint32>(7) + le<quint16>(1));
    writeFirmwareBootReport(f.env.platform.machineRoot, to);
    EXPECT_EQ(readText(to), "Velkor Firmware Boot Report\n\nBoot mode: UEFI\nSecure Boot: enabled\nSetup mode: disabled\n"
              "BootCurrent: 000A\nBootOrder: 000A,0001\n\nBoot entries:\n"
              "  Boot0001: UEFI PXE: IPv4 Intel(R) Ethernet | PciRoot(0x0)/Pci(0x3,0x0)/MAC(XX:XX:XX:XX:XX:XX)/Path(153,2,ab) (inactive)\n"
              "  Boot0002: <malformed>\n"
              "  Boot000A: OpenCore | PciRoot(0x0)/Pci(0x17,0x0)/NVMe(0x1)/HD(1,GPT,XX-MASKED-UUID,0x800,0x100000)"
              "/File(\\EFI\\OC\\OpenCore.efi)\n");

    // Kernel warnings as the user reads them, else as root read them, else a note; a flood cut at 1 MiB.
    const QByteArray log = QByteArray("<6>[    1.000000] usb 1-2: new high-speed USB device SerialNumber: PLANTED\n").repeated(3000);
    const QByteArray warnings = "<4>[    0.912345] x86/cpu: SGX disabled by BIOS.\n"
                                "<3>[   42.101020] ACPI Error: AE_NOT_FOUND, During name lookup/catalog (20230628/psobject-220)\n";
    writeFile(f.env.path("kmsg.txt"), log + warnings + "<12>[   50.000000] r8169 0000:03:00.0 enp3s0: link up, MAC b4:2e:99:aa:bb:cc\n");
    const QString header = "Velkor Kernel Warnings Report\n\n";
    const QString kept = warnings + "<12>[   50.000000] r8169 0000:03:00.0 enp3s0: link up, MAC XX:XX:XX:XX:XX:XX\n";

    f.env.platform.commands.kernelWarningsDump = {"/bin/cat", {f.env.path("kmsg.txt")}};
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_EQ(readText(to), header + "Source: the kernel log as this user reads it\n\n" + kept);

    PrivilegedFacts facts;
    facts.kernelWarnings = readFile(f.env.path("kmsg.txt"));
    auto store = f.env.platform.privilegedFacts = std::make_shared<PrivilegedFactsStore>();
    store->publish(facts);
    f.env.platform.commands.kernelWarningsDump = f.fake("closed", "echo 'dmesg: read kernel buffer failed'; exit 1");
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_EQ(readText(to), header + "Source: the kernel log as the administrator step read it\n\n" + kept);

    store->clear();
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_EQ(readText(to), header + "No warning or error lines: the kernel log is closed to this user and the administrator step "
                                     "handed none over.\n");

    writeFile(f.env.path("kmsg.txt"), QByteArray(3 << 20, 'w').replace(QByteArray(100, 'w'), QByteArray(99, 'w') + '\n'));
    f.env.platform.commands.kernelWarningsDump = {"/bin/cat", {f.env.path("kmsg.txt")}};
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_TRUE(readText(to).endsWith("\n[cut at 1048576 bytes]\n"));
    EXPECT_LT(readText(to).size(), (1 << 20) + 200);
}


// The first root that exists, or that root read unseen by the user, gives the masked copies.
TEST(EfiConfigCopy, TheFirstRootThatExistsGivesTheMaskedCopies)
{
    StepFixture f;
    const QString missing = f.env.path("missing"), empty = f.env.path("Volumes/EFI/EFI"), second = f.env.path("boot/efi/EFI");
    const auto copy = [&](const QStringList& roots) { f.log.lines.clear(); copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), roots); };
    copy({empty, second});
    EXPECT_EQ(f.log.lines, QStringList{"EFI is not mounted; skipping config copy to avoid prompts/hangs."});
    QDir().mkpath(empty);
    writeFile(second + "/CLOVER/config.plist", kConfig);
    copy({missing, empty, second});
    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist not found on mounted EFI.", "OC config.plist not found on mounted EFI."}));
    EXPECT_TRUE(QDir(f.work()).isEmpty());

    writeFile(f.work() + "/CLOVER-config.plist", "stale");
    copy({missing, second});
    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist copied as CLOVER-config.plist and sanitized at root.",
                                        "OC config.plist not found on mounted EFI."}));
    EXPECT_TRUE(maskedCopy(f.work() + "/CLOVER-config.plist"));
    EXPECT_EQ(readFile(second + "/CLOVER/config.plist"), kConfig);

    // Debian mounts the partition 0700: what root read there comes from the administrator step.
    const QString hidden = f.env.path("hidden/EFI");
    PrivilegedFacts facts;
    facts.efiRoot = hidden;
    facts.efiConfigs[hidden + "/OC/config.plist"] = kConfig;
    (f.env.platform.privilegedFacts = std::make_shared<PrivilegedFactsStore>())->publish(facts);
    copy({missing, hidden, second});
    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist not found on mounted EFI.", kOpenCoreCopied}));
    EXPECT_TRUE(maskedCopy(f.work() + "/OC-config.plist"));

    // A folder, a pipe (reading it would wait for a writer) or a link to an endless device in the
    // configuration's place: the copy fails at once, with the reason, before the OpenCore one.
    writeFile(second + "/OC/config.plist", kConfig);
    for (const auto& [what, make] : {std::pair{"a folder", "mkdir"}, {"a pipe", "mkfifo"}, {"a symbolic link", "ln -s /dev/zero"}}) {
        QDir(f.work()).removeRecursively();
        ASSERT_EQ(runProcessRaw("/bin/sh", {"-c", QString("rm -rf config.plist && %1 config.plist").arg(make)},
                                second + "/CLOVER", 10).exitStatus, 0);
        try {
            copy({second});
            ADD_FAILURE() << what << ": no error";
        } catch (const PlatformError& error) {
            EXPECT_TRUE(error.description().endsWith(QString("it is %1, not a regular file").arg(what))) << error.what();
        }
        EXPECT_TRUE(f.log.lines.isEmpty() && !QFileInfo::exists(f.work() + "/OC-config.plist")) << what;
    }
}

// A stick the desktop mounted, found through the mount table: only block devices, never a network
// share, a pseudo file system or an automount point; a link is refused, a later volume still used.
TEST(EfiConfigCopy, ConfigurationsOnAnyMountedVolumeAreFoundAfterTheCandidateRoots)
{
    const std::tuple<const char*, QByteArray, QStringList> cases[] = {
        {"proc/self/mountinfo",
         "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n30 22 0:5 / /proc rw - proc proc rw\n"
         "40 22 0:44 / /srv/share rw - nfs4 server:/export rw\n41 22 0:45 / /mnt/tmp rw - tmpfs tmpfs rw\n"
         "42 22 0:46 / /boot/efi rw - autofs systemd-1 rw\n50 22 8:17 / /media/zo\303\253/OLD\\040STICK rw - vfat /dev/sdb1 rw\n"
         "51 22 8:33 / /media/zo\303\253/EFI rw,nosuid shared:9 - vfat /dev/sdc1 rw,fmask=0022\n",
         {"CLOVER config.plist not found on mounted EFI.",
          "OC config.plist at /media/zoë/OLD STICK/EFI/OC/config.plist (/dev/sdb1) refused: it is a symbolic link, not a regular file.",
          "OC config.plist found at /media/zoë/EFI/EFI/OC/config.plist (/dev/sdc1).", kOpenCoreCopied}},
        {"proc/mounts", "/dev/sdc1 /media/zo\303\253/EFI vfat rw 0 0\nserver:/export /srv/share nfs4 rw 0 0\n",
         {"CLOVER config.plist not found on mounted EFI.", "OC config.plist found at /media/zoë/EFI/EFI/OC/config.plist (/dev/sdc1).",
          kOpenCoreCopied}},
    };
    for (const auto& [table, content, log] : cases) {
        StepFixture f;
        const QString machine = f.env.platform.machineRoot;
        writeFile(machine + "/" + table, content);
        writeFile(machine + "/media/zoë/EFI/EFI/OC/config.plist", kConfig);
        for (const QString& elsewhere : QStringList{"/srv/share", "/mnt/tmp", "/boot/efi", "/proc"}) // each the wrong one
            writeFile(machine + elsewhere + "/EFI/CLOVER/config.plist", "<plist>not this one</plist>");
        QDir().mkpath(machine + "/media/zoë/OLD STICK/EFI/OC");
        QFile::link("/dev/zero", machine + "/media/zoë/OLD STICK/EFI/OC/config.plist");

        copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("missing")});

        EXPECT_EQ(f.log.lines, log) << table;
        EXPECT_EQ(QDir(f.work()).entryList(QDir::Files), QStringList{"OC-config.plist"}) << table;
        EXPECT_TRUE(maskedCopy(f.work() + "/OC-config.plist"));
    }
}
