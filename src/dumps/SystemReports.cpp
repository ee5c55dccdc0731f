#include "dumps/SystemReports.h"

#include "base/CollectorError.h"
#include "base/Timestamps.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"

namespace velkor {
namespace {

QString capture(const StockCommand& command, double timeoutSeconds)
{
    return runProcessCapturing(command.program, command.arguments, timeoutSeconds);
}

void writeReport(const QString& to, const QStringList& lines, const QString& separator, bool finalLineFeed)
{
    QString text = lines.join(separator);
    if (finalLineFeed)
        text += QLatin1Char('\n');
    writeTextFile(to, maskText(text));
}

} // namespace

void writeSystemInfo(StepContext& ctx, const QString& to)
{
    const CommandTable& commands = ctx.platform.commands;
    const QStringList lines{
        QStringLiteral("Velkor"),
        QStringLiteral("Date: ") + reportTimestamp(),
        QStringLiteral("IORegistry text dump: native ioreg.txt generated from live IOKit data; no Automation permission required"),
        capture(commands.systemVersion, 20),
        capture(commands.kernelIdentity, 20),
        maskText(capture(commands.hardwareOverview, 20)),
    };
    writeReport(to, lines, QStringLiteral("\n\n"), false);
}

void writeVDADecoderReport(StepContext& ctx, const QString& to, const std::optional<QString>& bundledTool)
{
    const CommandTable& commands = ctx.platform.commands;
    QStringList lines{QStringLiteral("Velkor Video Decode Report"), QStringLiteral("Generated: ") + reportTimestamp(), QString()};
    if (bundledTool) {
        const QString& tool = *bundledTool;
        // Copying can drop the execute bit; a failure here shows up as the launch error below.
        makeExecutable(tool);
        lines << QStringLiteral("Bundled VDADecoderChecker: ") + tool;
        StockCommand fileType = commands.fileType;
        fileType.arguments << tool;
        lines << capture(fileType, 5).trimmed();
        try {
            const QString output = runProcess(tool, {}, std::nullopt, 15).trimmed();
            lines << QString() << QStringLiteral("VDADecoderChecker output:")
                  << (output.isEmpty() ? QStringLiteral("No output.") : output);
        } catch (const std::exception& error) {
            lines << QString() << QStringLiteral("VDADecoderChecker could not run on this macOS/architecture:")
                  << describeError(error) << QString() << QStringLiteral("Fallback display report below was collected instead.");
        }
    } else {
        lines << QStringLiteral("Bundled VDADecoderChecker not found.");
    }
    lines << QString() << QStringLiteral("SPDisplaysDataType fallback:") << capture(commands.displaysOverview, 20);
    writeReport(to, lines, QStringLiteral("\n"), true);
}

void writeKextsLoadedReport(StepContext& ctx, const QString& to)
{
    // The command runs before the time stamp is taken, so the stamp marks the end of the listing.
    const QString listing = capture(ctx.platform.commands.loadedKextsFiltered, 20);
    QStringList lines{QStringLiteral("Velkor Filtered Loaded Kexts Report"), QStringLiteral("Generated: ") + reportTimestamp(),
                      QString()};
    lines << (listing.trimmed().isEmpty() ? QStringLiteral("No matching loaded kexts found or kmutil/kextstat unavailable.")
                                          : listing);
    writeReport(to, lines, QStringLiteral("\n"), true);
}

void writePowerManagementReport(StepContext& ctx, const QString& to)
{
    const CommandTable& commands = ctx.platform.commands;
    struct Block {
        QString title;
        const StockCommand& command;
        double timeoutSeconds;
    };
    const Block blocks[] = {
        {QStringLiteral("pmset -g"), commands.powerSettings, 6},
        {QStringLiteral("pmset -g assertions"), commands.powerAssertions, 8},
        {QStringLiteral("pmset -g sched"), commands.powerSchedule, 6},
        {QStringLiteral("pmset -g cap"), commands.powerCapabilities, 6},
    };
    QStringList lines{QStringLiteral("Velkor Power Management Report"), QStringLiteral("Generated: ") + reportTimestamp(), QString()};
    for (const Block& block : blocks) {
        lines << QStringLiteral("===== ") + block.title + QStringLiteral(" =====");
        try {
            lines << runProcess(block.command.program, block.command.arguments, std::nullopt, block.timeoutSeconds);
        } catch (const std::exception&) {
            lines << failureText(block.command.program, block.command.arguments);
        }
        lines << QString();
    }
    writeReport(to, lines, QStringLiteral("\n"), true);
}

} // namespace velkor
