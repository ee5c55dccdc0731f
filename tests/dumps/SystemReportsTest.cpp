#include "dumps/SystemReports.h"
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

} // namespace

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

TEST(VideoDecodeReport, AToolThatPrintsNothingGivesNoOutput)
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
}

TEST(VideoDecodeReport, AToolThatFailsOrCannotStartIsExplainedAndTheFallbackFollows)
{
    StepFixture f;
    CommandTable& c = f.env.platform.commands;
    c.fileType = f.fake("file", "echo \"$1: data\"");
    c.displaysOverview = f.fake("displays", "echo 'Display: none'");
    const QString to = f.work() + "/VDADecoderChecker.txt";

    const QString failing = f.env.addTool("VDADecoderChecker", "echo 'bad CPU type'; exit 86");
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
