#include "dumps/BootFacts.h"
#include "dumps/SystemReports.h"
#include "platform/PrivilegedFacts.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QRegularExpression kTimestamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$");

// The report's lines with the time stamp line checked and replaced by "<stamp>".
QStringList linesWithStamp(const QString& text, const QString& prefix)
{
    QStringList lines = text.split('\n');
    for (QString& line : lines) {
        if (line.startsWith(prefix)) {
            EXPECT_TRUE(kTimestamp.match(line.mid(prefix.size())).hasMatch()) << line.toStdString();
            line = prefix + "<stamp>";
        }
    }
    return lines;
}

QByteArray le16(quint16 v)
{
    const char bytes[] = {char(v & 0xff), char(v >> 8)};
    return QByteArray(bytes, 2);
}
QByteArray le32(quint32 v) { return le16(v & 0xffff) + le16(v >> 16); }
QByteArray le64(quint64 v) { return le32(v & 0xffffffff) + le32(v >> 32); }
QByteArray utf16z(const QString& s)
{
    QByteArray b;
    for (QChar c : s)
        b += le16(c.unicode());
    return b + le16(0);
}
QByteArray node(int type, int subtype, const QByteArray& data) { return char(type) + QByteArray(1, char(subtype)) + le16(4 + data.size()) + data; }

// A Boot#### variable as efivarfs shows it: attribute word, then the load option.
QByteArray bootVariable(quint32 attributes, const QString& description, const QByteArray& path)
{
    return le32(7) + le32(attributes) + le16(path.size()) + utf16z(description) + path;
}

} // namespace

// The firmware's boot facts from an efivarfs tree: Secure Boot on, setup mode off, the entry
// that booted, the order, and each entry's description and device path, MAC and disk GUID masked.
TEST(FirmwareBootReport, ListsTheBootModeSecureBootAndEveryBootEntry)
{
    StepFixture f;
    const QString vars = f.env.platform.machineRoot + "/sys/firmware/efi/efivars/";
    const QString global = "-8be4df61-93ca-11d2-aa0d-00e098032b8c";
    const QString to = f.work() + "/FirmwareBoot.txt";
    writeFirmwareBootReport(f.env.platform.machineRoot, to);
    EXPECT_EQ(readText(to), "Velkor Firmware Boot Report\n\nBoot mode: legacy BIOS (no /sys/firmware/efi)\n");

    const QByteArray gptGuid = QByteArray::fromHex("78563412cdab0120aabbccddeeff0011");
    const QByteArray disk = node(2, 1, le32(0x0a0341d0) + le32(0)) + node(1, 1, QByteArray::fromHex("0017"))
        + node(3, 0x17, le32(1) + QByteArray(8, 0)) + node(4, 1, le32(1) + le64(0x800) + le64(0x100000) + gptGuid + "\x02\x02")
        + node(4, 4, utf16z("\\EFI\\OC\\OpenCore.efi")) + node(0x7f, 0xff, {});
    const QByteArray network = node(2, 1, le32(0x0a0341d0) + le32(0)) + node(1, 1, QByteArray::fromHex("0003"))
        + node(3, 11, QByteArray::fromHex("b42e99aabbcc") + QByteArray(26, 0) + "\x01") + node(0x99, 2, "\xab") + node(0x7f, 0xff, {});
    writeFile(vars + "SecureBoot" + global, le32(6) + "\x01");
    writeFile(vars + "SetupMode" + global, le32(6) + QByteArray(1, 0));
    writeFile(vars + "BootCurrent" + global, le32(6) + le16(0x000a));
    writeFile(vars + "BootOrder" + global, le32(7) + le16(0x000a) + le16(0x0001));
    writeFile(vars + "Boot000A" + global, bootVariable(1, "OpenCore", disk));
    writeFile(vars + "Boot0001" + global, bootVariable(0, "UEFI PXE: IPv4 Intel(R) Ethernet", network));
    writeFile(vars + "Boot0002" + global, le32(7) + "\x01\x00"); // cut short
    writeFile(vars + "BootNext-other-vendor", le32(7) + le16(1));
    writeFirmwareBootReport(f.env.platform.machineRoot, to);

    EXPECT_EQ(readText(to),
              "Velkor Firmware Boot Report\n\nBoot mode: UEFI\nSecure Boot: enabled\nSetup mode: disabled\nBootCurrent: 000A\n"
              "BootOrder: 000A,0001\n\nBoot entries:\n"
              "  Boot0001: UEFI PXE: IPv4 Intel(R) Ethernet | PciRoot(0x0)/Pci(0x3,0x0)/MAC(XX:XX:XX:XX:XX:XX)/Path(153,2,ab) (inactive)\n"
              "  Boot0002: <malformed>\n"
              "  Boot000A: OpenCore | PciRoot(0x0)/Pci(0x17,0x0)/NVMe(0x1)/HD(1,GPT,XX-MASKED-UUID,0x800,0x100000)"
              "/File(\\EFI\\OC\\OpenCore.efi)\n");
}

// This boot's warning and error lines, the late ACPI ones included, as the user reads them;
// where the log is closed to the user, as root read it; else a note.
TEST(KernelWarningsReport, KeepsEveryWarningFromTheUserOrFromRoot)
{
    StepFixture f;
    QByteArray log;
    for (int i = 0; i < 3000; ++i)
        log += QByteArray("<6>[    1.") + QByteArray::number(i) + "] usb 1-2: new high-speed USB device SerialNumber: PLANTED\n";
    log += "<4>[    0.912345] x86/cpu: SGX disabled by BIOS.\n"
           "<3>[   42.101010] ACPI BIOS Error (bug): Could not resolve symbol [\\_SB.PC00.PEG1.PEGP], AE_NOT_FOUND (20230628/dswload2-162)\n"
           "<3>[   42.101020] ACPI Error: AE_NOT_FOUND, During name lookup/catalog (20230628/psobject-220)\n"
           "<12>[   50.000000] r8169 0000:03:00.0 enp3s0: link up, MAC b4:2e:99:aa:bb:cc\n";
    const QString logFile = f.env.path("kmsg.txt");
    writeFile(logFile, log);
    const QString to = f.work() + "/KernelWarnings.txt";
    const QString warnings = "x86/cpu: SGX disabled by BIOS.\n"
                             "<3>[   42.101010] ACPI BIOS Error (bug): Could not resolve symbol [\\_SB.PC00.PEG1.PEGP], AE_NOT_FOUND (20230628/dswload2-162)\n"
                             "<3>[   42.101020] ACPI Error: AE_NOT_FOUND, During name lookup/catalog (20230628/psobject-220)\n"
                             "<12>[   50.000000] r8169 0000:03:00.0 enp3s0: link up, MAC XX:XX:XX:XX:XX:XX\n";

    f.env.platform.commands.kernelWarningsDump = {"/bin/cat", {logFile}};
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_EQ(readText(to), "Velkor Kernel Warnings Report\n\nSource: the kernel log as this user reads it\n\n<4>[    0.912345] " + warnings);

    auto store = std::make_shared<PrivilegedFactsStore>();
    PrivilegedFacts facts;
    facts.kernelWarnings = log;
    store->publish(facts);
    f.env.platform.privilegedFacts = store;
    f.env.platform.commands.kernelWarningsDump = f.fake("closed", "echo 'dmesg: read kernel buffer failed'; exit 1");
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_EQ(readText(to), "Velkor Kernel Warnings Report\n\nSource: the kernel log as the administrator step read it\n\n<4>[    0.912345] " + warnings);

    store->clear();
    writeKernelWarningsReport(f.ctx, to);
    EXPECT_EQ(readText(to), "Velkor Kernel Warnings Report\n\nNo warning or error lines: the kernel log is closed to this user and the "
                            "administrator step handed none over.\n");

    // A flood of warnings is cut at 1 MiB.
    writeFile(logFile, QByteArray(3 << 20, 'w').replace(QByteArray(100, 'w'), QByteArray(99, 'w') + '\n'));
    f.env.platform.commands.kernelWarningsDump = {"/bin/cat", {logFile}};
    writeKernelWarningsReport(f.ctx, to);
    const QString cut = readText(to);
    EXPECT_TRUE(cut.endsWith("\n[cut at 1048576 bytes]\n")) << cut.right(100).toStdString();
    EXPECT_LT(cut.size(), (1 << 20) + 200);
}

TEST(SystemInfo, BlocksAreSeparatedByBlankLinesAndTheHardwareSerialIsMaskedTwice)
{
    StepFixture f;
    CommandTable& c = f.env.platform.commands;
    c.systemVersion = f.fake("sw_vers", "printf 'ProductName:\\tmacOS\\n'");
    c.kernelIdentity = f.fake("uname", "exit 2");
    c.hardwareOverview = f.fake("profiler", "printf 'Hardware:\\n      Serial Number (system): C02XK1ZZJGH5\\n'");
    const QString to = f.work() + "/system-info.txt";

    writeSystemInfo(f.ctx, to);

    EXPECT_EQ(linesWithStamp(readText(to), "Date: ").join('\n'),
              "Velkor\n\nDate: <stamp>\n\n"
              "IORegistry text dump: native ioreg.txt generated from live IOKit data; no Automation permission required\n\n"
              "ProductName:\tmacOS\n\n\n"
              "Failure/timeout while running " + c.kernelIdentity.program + " \n\n"
              "Hardware:\n      Serial Number (system): XX-MASKED-XX-MASKED-XX\n");
}

TEST(VideoDecodeReport, WithoutAToolOnlyTheDisplayFallbackFollows)
{
    StepFixture f;
    f.env.platform.commands.displaysOverview = f.fake("displays", "echo 'Graphics/Displays:'");
    const QString to = f.work() + "/VDADecoderChecker.txt";

    writeVDADecoderReport(f.ctx, to, std::nullopt);

    EXPECT_EQ(linesWithStamp(readText(to), "Generated: "),
              QStringList({"Velkor Video Decode Report", "Generated: <stamp>", "", "Bundled VDADecoderChecker not found.", "",
                           "SPDisplaysDataType fallback:", "Graphics/Displays:", "", ""}));
}

TEST(VideoDecodeReport, TheToolsOutputNoOutputOrItsFailureThenTheFallback)
{
    StepFixture f;
    CommandTable& c = f.env.platform.commands;
    c.fileType = f.fake("file", "echo \"  $1: POSIX shell script, ASCII text executable  \"");
    c.displaysOverview = f.fake("displays", "exit 1");
    const QString tool = f.env.addTool("VDADecoderChecker", "printf '\\n\\n'");
    const QString to = f.work() + "/VDADecoderChecker.txt";

    writeVDADecoderReport(f.ctx, to, tool);

    EXPECT_EQ(linesWithStamp(readText(to), "Generated: "),
              QStringList({"Velkor Video Decode Report", "Generated: <stamp>", "", "Bundled VDADecoderChecker: " + tool,
                           tool + ": POSIX shell script, ASCII text executable", "", "VDADecoderChecker output:", "No output.",
                           "", "SPDisplaysDataType fallback:", "Failure/timeout while running " + c.displaysOverview.program + " ",
                           ""}));

    // Its execute bit is given back; what it prints is trimmed at the ends and masked.
    writeScript(tool, "printf '\\n  HEVC: supported\\n  adapter 00:1b:63:84:45:e6\\n\\n'");
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    writeVDADecoderReport(f.ctx, to, tool);
    EXPECT_TRUE(readText(to).contains("VDADecoderChecker output:\nHEVC: supported\n  adapter XX:XX:XX:XX:XX:XX\n\n")) << readText(to).toStdString();

    // A tool that fails or cannot start is explained, and the fallback follows.
    c.displaysOverview = f.fake("displays", "echo 'Display: none'");
    const QString failing = tool;
    writeScript(failing, "echo 'bad CPU type'; exit 86");
    writeVDADecoderReport(f.ctx, to, failing);
    QString text = readText(to);
    EXPECT_TRUE(text.contains("\n\nVDADecoderChecker could not run on this macOS/architecture:\nCommand failed: " + failing
                              + " \nbad CPU type\n\n\nFallback display report below was collected instead.\n\n"
                                "SPDisplaysDataType fallback:\nDisplay: none\n"))
        << text.toStdString();

    const QString missing = f.env.path("nowhere/VDADecoderChecker");
    writeVDADecoderReport(f.ctx, to, missing);
    text = readText(to);
    EXPECT_TRUE(text.contains("VDADecoderChecker could not run on this macOS/architecture:\nCould not launch")) << text.toStdString();
    EXPECT_TRUE(text.endsWith("SPDisplaysDataType fallback:\nDisplay: none\n\n"));
}

TEST(KextsReport, NoMatchIsTheFailureTextAndEmptySuccessIsTheNote)
{
    StepFixture f;
    CommandTable& c = f.env.platform.commands;
    const QString to = f.work() + "/KextsLoaded.txt";

    // grep finds no line: the shell exits 1, and the failure text names the whole command line.
    c.loadedKextsFiltered = {"/bin/sh", {"-c", "printf 'zram 1 0\\n' | /usr/bin/grep -E -i 'usb|xhci'"}};
    writeKextsLoadedReport(f.ctx, to);
    EXPECT_EQ(linesWithStamp(readText(to), "Generated: "),
              QStringList({"Velkor Filtered Loaded Kexts Report", "Generated: <stamp>", "",
                           "Failure/timeout while running /bin/sh -c printf 'zram 1 0\\n' | /usr/bin/grep -E -i 'usb|xhci'",
                           ""}));

    c.loadedKextsFiltered = f.fake("empty", "printf ' \\n'");
    writeKextsLoadedReport(f.ctx, to);
    EXPECT_EQ(linesWithStamp(readText(to), "Generated: "),
              QStringList({"Velkor Filtered Loaded Kexts Report", "Generated: <stamp>", "",
                           "No matching loaded kexts found or kmutil/kextstat unavailable.", ""}));

    c.loadedKextsFiltered = {"/bin/sh", {"-c", "printf 'zram 1 0\\nxhci_pci 24576 0\\n' | /usr/bin/grep -E -i 'usb|xhci'"}};
    writeKextsLoadedReport(f.ctx, to);
    EXPECT_TRUE(readText(to).endsWith("\n\nxhci_pci 24576 0\n\n"));
}

TEST(PowerManagementReport, EachBlockIsHeadingOutputAndBlankLine)
{
    StepFixture f;
    CommandTable& c = f.env.platform.commands;
    c.powerSettings = f.fake("settings", "echo ' hibernatemode 3'");
    c.powerAssertions = {f.fake("assertions", "echo partial; exit 1").program, {"-g", "assertions"}};
    c.powerSchedule = f.fake("schedule", "true");
    c.powerCapabilities = f.fake("capabilities", "printf 'S3 S4'");
    const QString to = f.work() + "/PowerManagement.txt";

    writePowerManagementReport(f.ctx, to);

    EXPECT_EQ(linesWithStamp(readText(to), "Generated: "),
              QStringList({"Velkor Power Management Report", "Generated: <stamp>", "",
                           "===== pmset -g =====", " hibernatemode 3", "", "",
                           "===== pmset -g assertions =====",
                           "Failure/timeout while running " + c.powerAssertions.program + " -g assertions", "",
                           "===== pmset -g sched =====", "", "",
                           "===== pmset -g cap =====", "S3 S4", "", ""}));
}
