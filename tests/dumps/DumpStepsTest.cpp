#include "base/CollectorError.h"
#include "privacy/TextMasking.h"
#include "steps/CommandCapture.h"
#include "files/TextDecoding.h"
#include "dumps/DumpSteps.h"
#include "dumps/DumpsTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QStringList kProfilerArguments{"-xml", "SPHardwareDataType", "SPDisplaysDataType", "SPPCIDataType", "SPUSBDataType",
                                     "SPAudioDataType", "SPNetworkDataType", "SPNVMeDataType", "SPSerialATADataType",
                                     "SPMemoryDataType"};

// Every command of the dumps prints its own name, so each file shows which command filled it.
void useEchoingCommands(DumpsFixture& f)
{
    CommandTable& c = f.env.platform.commands;
    const auto echoing = [&f](const QString& name) { return f.fake(name, "echo " + name + " output"); };
    c.powerSettingsDump = echoing("pmset");
    c.bootArgumentsDump = echoing("bootargs");
    c.kernelVersionDump = echoing("kernel");
    c.systemVersionDump = echoing("system");
    c.cpuBrandDump = echoing("cpu");
    c.bootLogDump = echoing("bootlog");
    c.systemProfilerXmlDump = echoing("profiler");
    c.displaysOverview = echoing("displays");
    c.fileType = echoing("filetype");
    c.loadedKextsFiltered = echoing("kexts");
    c.powerSettings = echoing("settings");
    c.powerAssertions = echoing("assertions");
    c.powerSchedule = echoing("schedule");
    c.powerCapabilities = echoing("capabilities");
}

DumpReportWriters fileWritingUSBReports()
{
    return {[](StepContext&, const QString& to) { writeFile(to, "controllers"); },
            [](StepContext&, const QString& to) { writeFile(to, "usb power"); }};
}

QStringList dumpLines(const QStringList& lines)
{
    return lines.filter(QRegularExpression("^Dump "));
}

} // namespace

TEST(DumpSteps, RunTheThirteenStepsInOrderAndWriteEveryFile)
{
    DumpsFixture f;
    useEchoingCommands(f);
    const QString logs = f.env.path("logs");
    QDir().mkpath(logs);
    f.env.addTool("ListCodec.command", "echo 'Codec: Conexant CX20590'");

    collectSweepkitStyleDumps(f.ctx, f.work(), logs, fileWritingUSBReports());

    EXPECT_EQ(dumpLines(f.log.lines),
              QStringList({"Dump 1/9: pmset...", "Dump 2/9: boot-args...", "Dump 3/9: kernel/macOS/CPU...",
                           "Dump 4/9: limited bootlog with timeout...", "Dump 5/9: video decode report...",
                           "Dump 6/9: audio/codecs...", "Dump 7/9: sanitized system_profiler XML with timeout...",
                           "Dump 8/9: looking for already-mounted EFI to copy CLOVER/OC without password hangs...",
                           "Dump 9/13: PCI/USB controller summary...", "Dump 10/13: USB power summary...",
                           "Dump 11/13: filtered loaded kexts...", "Dump 12/13: power management details...",
                           "Dump 13/13: privacy report..."}));
    const QString w = f.work() + "/";
    EXPECT_EQ(readText(w + "Pmset.txt"), "pmset output\n");
    EXPECT_EQ(readText(w + "Bootargs.txt"), "bootargs output\n");
    EXPECT_EQ(readText(w + "KernelVersion.txt"), "kernel output\n");
    EXPECT_EQ(readText(w + "SystemVersion.txt"), "system output\n");
    EXPECT_EQ(readText(w + "Cpu.txt"), "cpu output\n");
    EXPECT_EQ(readText(w + "bootlog.txt"), "bootlog output\n");
    EXPECT_EQ(readText(w + "SysDump-Zantro.spx"), "profiler output\n");
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
}

TEST(DumpSteps, AFailingReportWriterStopsTheDumpsAndKeepsEarlierFiles)
{
    DumpsFixture f;
    useEchoingCommands(f);
    DumpReportWriters writers = fileWritingUSBReports();
    writers.writeUSBPowerReport = [](StepContext&, const QString&) { throw PlatformError("disk full"); };

    EXPECT_THROW(collectSweepkitStyleDumps(f.ctx, f.work(), f.work(), writers), PlatformError);
    EXPECT_EQ(dumpLines(f.log.lines).last(), "Dump 10/13: USB power summary...");
    EXPECT_TRUE(QFileInfo::exists(f.work() + "/PCI-USB-Controllers.txt"));
    EXPECT_FALSE(QFileInfo::exists(f.work() + "/KextsLoaded.txt"));
    EXPECT_FALSE(QFileInfo::exists(f.work() + "/privacy-redaction.txt"));
}

TEST(CommandCapture, AFailingCommandLeavesTheExactFailureText)
{
    DumpsFixture f;
    const QString script = writeScript(f.fakes() + "/pmset", "printf x\nexit 1");
    const StockCommand pmset{"/bin/sh", {"-c", script + " -g"}};
    const QString target = f.work() + "/Pmset.txt";

    captureCommandOutput(pmset, 8, target);

    const QString commandLine = "/bin/sh -c " + script + " -g";
    EXPECT_EQ(readText(target), "Failure/timeout while running " + commandLine + "\nCommand failed: " + commandLine + "\nx\n");
}

TEST(CommandCapture, ATimeOutKeepsTheMaskedPartialOutput)
{
    DumpsFixture f;
    const QString profiler = writeScript(f.fakes() + "/system_profiler",
                                         "echo 'partial en0 00:1b:63:84:45:e6'\nexec sleep 30");
    const QString target = f.work() + "/SysDump-Zantro.spx";
    QElapsedTimer clock;
    clock.start();

    captureCommandOutput({profiler, kProfilerArguments}, 1, target);

    EXPECT_LT(clock.elapsed(), 10000);
    const QStringList lines = readText(target).split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "Failure/timeout while running " + profiler + " " + kProfilerArguments.join(' '));
    EXPECT_TRUE(lines[1].startsWith("Timeout after 1s: " + profiler + " -xml SPHardwareDataType")) << lines[1].toStdString();
    EXPECT_EQ(lines[2], "partial en0 XX:XX:XX:XX:XX:XX");
}

TEST(CommandCapture, ProgramsThatCannotStartOrPrintBadTextStillLeaveAFile)
{
    DumpsFixture f;
    const QString missing = f.work() + "/missing.txt";
    captureCommandOutput({"/nonexistent/tool", {"-g"}}, 8, missing);
    EXPECT_TRUE(readText(missing).startsWith("Failure/timeout while running /nonexistent/tool -g\nCould not launch"));
}

// Output that is not UTF-8 (a Latin-1 string in a table) is kept with U+FFFD for each bad
// byte, masked, and noted once in the file and in the log.
TEST(CommandCapture, InvalidUtf8IsKeptMaskedAndNoted)
{
    DumpsFixture f;
    const QString notUtf8 = "[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n";
    const struct {
        const char* script;
        QString head; // what the file starts with
        QString tail; // and ends with
        QStringList warnings;
    } cases[] = {
        {"printf 'OEM \\351t\\351 12345678-1234-1234-1234-123456789ABC\\n'",
         QString::fromUtf8("OEM \uFFFDt\uFFFD XX-MASKED-UUID\n"), notUtf8,
         {"WARNING: out.txt: " + f.fakes() + "/tool wrote bytes that are not UTF-8; they are shown as U+FFFD."}},
        {"printf '<key>IOPlatformSerialNumber</key><string>C02XK1ABCD12\\377</string>'",
         QString::fromUtf8("<key>IOPlatformSerialNumber</key><string>"), "</string>\n" + notUtf8,
         {"WARNING: out.txt: " + f.fakes() + "/tool wrote bytes that are not UTF-8; they are shown as U+FFFD."}},
    };
    const QString target = f.work() + "/out.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        f.log.lines.clear();
        captureCommandOutput(f.fake("tool", c.script), 60, target, &f.log);
        const QString text = readText(target);
        EXPECT_TRUE(text.startsWith(c.head)) << text.left(200).toStdString();
        EXPECT_TRUE(text.endsWith(c.tail)) << text.right(200).toStdString();
        EXPECT_FALSE(text.contains("C02XK1ABCD12"));
        EXPECT_EQ(f.log.lines, c.warnings);
    }
}

TEST(CommandCapture, LargeOutputIsMaskedWhole)
{
    DumpsFixture f;
    const QString target = f.work() + "/bootlog.txt";
    captureCommandOutput(f.fake("flood", "i=0; while [ $i -lt 20000 ]; do echo \"line $i ether 00:1b:63:84:45:e6\"; i=$((i+1)); done"),
                         18, target);
    const QString text = readText(target);
    EXPECT_EQ(text.count('\n'), 20000);
    EXPECT_EQ(text.count("XX:XX:XX:XX:XX:XX"), 20000);
}

// Masking a large output in pieces gives the text that masking it whole gives, wherever the
// pieces end: across blank lines after a "Hardware UUID:", around byte-order marks, line ends
// of every kind and blank space that is not ASCII, and in property lists.
TEST(CommandCapture, MaskingInPiecesEqualsMaskingWhole)
{
    DumpsFixture f;
    const QByteArray uuid = "8B571A7A-C1E4-4B6D-9A32-0F2C6E7D1A55";
    const QByteArray cases[] = {
        "Serial Number (system):\n\n   C02XK1ABCD12\nHardware UUID: \n " + uuid + "\nProvisioning UDID:\r\n\t00008030-001A\n",
        "a Serial Number (system):\n\n   C02XK1ABCD12\nb Hardware UUID: \n " + uuid + "\nc Provisioning UDID:\r\n\t00008030-001A\n",
        "a Hardware UUID:\xC2\xA0\n" + uuid + "\nb Serial Number (system):\xE2\x80\xA8\nC02X\n",
        "serial_number = C02X\nROM: 001122334455\nMLB=C0212345\n  IOPlatformUUID = \"" + uuid + "\"\n",
        "\xEF\xBB\xBF" "first line en0 00:1b:63:84:45:e6\n\xEF\xBB\xBF" "second\rthird 00-1B-63-84-45-E6\r\n",
        "<key>SerialNumber</key>\n\t<string>C02XK1ABCD12</string>\n<key>_items</key>\n<array>\n<dict>\n<key>_name</key>\n"
        "<string>Hardware UUID</string>\n<key>_value</key>\n<string>" + uuid + "</string>\n</dict>\n</array>\n",
        "<\xE2\x84\xAA" "ey>ROM</key>\n<data>\nAAEC\n</data>\n",
        "no line end at all: Hardware UUID: " + uuid,
        readFile(testData("privacy/ioreg-platform-excerpt.txt")),
    };
    const QString target = f.work() + "/masked.txt";
    for (const QByteArray& output : cases) {
        const QByteArray whole = maskText(decodeUtf8Strictly(output).value()).toUtf8();
        for (const qsizetype pieceBytes : {1, 7, 64, 1 << 20}) {
            writeMaskedOutput(target, output, pieceBytes);
            EXPECT_EQ(readFile(target), whole) << pieceBytes << ": " << output.left(60).toStdString();
        }
    }
    writeMaskedOutput(target, readFile(testData("registry/macbookpro11-2-ioreg.txt")), 256);
    EXPECT_EQ(readFile(target), maskText(readText(testData("registry/macbookpro11-2-ioreg.txt"))).toUtf8());
}

// A flood cut at the limit (here a later piece that is not UTF-8 and ends mid-line) keeps what
// came before, and the file ends with both notes.
TEST(CommandCapture, ACutOutputWithBytesThatAreNotUtf8InALaterPieceIsKeptAndNotedOnce)
{
    DumpsFixture f;
    const QString target = f.work() + "/masked.txt";
    writeFile(target, "earlier run");
    const QByteArray output = QByteArray("line \xFF en0 00:1b:63:84:45:e6\n").repeated(50) + "\xFF\xFE";
    const OutputNotes notes = writeMaskedOutput(target, output, 64, output.size());
    EXPECT_TRUE(notes.notUtf8);
    EXPECT_TRUE(notes.cut);
    EXPECT_EQ(readText(target), QString::fromUtf8("line \uFFFD en0 XX:XX:XX:XX:XX:XX\n").repeated(50) + QString::fromUtf8("\uFFFD\uFFFD\n")
                                    + "[Velkor] Output cut here, after 1452 bytes: the tool wrote more than Velkor keeps of one tool's output, and was stopped.\n"
                                    + "[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n");
    EXPECT_EQ(QDir(f.work()).entryList(QDir::Files), QStringList{"masked.txt"});
}

TEST(CommandCapture, AFolderThatCannotBeWrittenThrows)
{
    DumpsFixture f;
    EXPECT_THROW(captureCommandOutput(f.fake("ok", "echo ok"), 8, f.work() + "/no/such/folder/Pmset.txt"), PlatformError);
}

TEST(AudioCodecs, WithoutTheListerOrWithBlankOutputTheNoteIsWritten)
{
    DumpsFixture f;
    const QString target = f.work() + "/AudioCodecs.txt";
    writeAudioCodecsReport(std::nullopt, target);
    EXPECT_EQ(readText(target), "No codec detected or audio tools unavailable.\n");

    writeAudioCodecsReport(writeScript(f.fakes() + "/blank.command", "printf '\\n  \\n\\t\\n'"), target);
    EXPECT_EQ(readText(target), "No codec detected or audio tools unavailable.\n");
}

TEST(AudioCodecs, TheListerRunsUnderBashEvenWithoutItsExecuteBit)
{
    DumpsFixture f;
    const QString target = f.work() + "/AudioCodecs.txt";
    const QString lister = f.fakes() + "/List Codec's.command";
    writeFile(lister, "[ -n \"$BASH_VERSION\" ] && echo 'Codec: Realtek ALC892'\necho 'mac 00:1B:63:84:45:E6'\n");
    QFile::setPermissions(lister, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    writeAudioCodecsReport(lister, target);

    EXPECT_EQ(readText(target), "Codec: Realtek ALC892\nmac XX:XX:XX:XX:XX:XX\n");
}

TEST(AudioCodecs, AFailingListerLeavesItsFailureText)
{
    DumpsFixture f;
    const QString target = f.work() + "/AudioCodecs.txt";
    const QString lister = writeScript(f.fakes() + "/ListCodec.command", "echo partial; exit 3");
    writeAudioCodecsReport(lister, target);
    EXPECT_EQ(readText(target), "Failure/timeout while running /bin/bash " + lister);
    EXPECT_THROW(writeAudioCodecsReport(lister, f.work() + "/missing/AudioCodecs.txt"), PlatformError);
}
