#include "dumps/DumpSteps.h"

#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "steps/CommandCapture.h"
#include "dumps/BootFacts.h"
#include "dumps/EfiConfigCopy.h"
#include "dumps/SystemReports.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"

namespace velkor {
namespace {

// The short commands get 8 s, the boot log 18 s and the hardware listing 45 s.
constexpr double kShortCommandTimeout = 8;
constexpr double kBootLogTimeout = 18;
constexpr double kHardwareListingTimeout = 45;
constexpr double kCodecListTimeout = 35;

std::optional<QString> locateTool(const ToolLocator& tools, const QString& name)
{
    if (auto found = tools.findResource(name))
        return found;
    return tools.findExecutable(name);
}

void callReportWriter(const std::function<void(StepContext&, const QString&)>& writer, StepContext& ctx, const QString& to)
{
    if (!writer)
        throw CollectorError::operationFailed(QStringLiteral("No report writer for ") + to);
    writer(ctx, to);
}

} // namespace

QString privacyReportText()
{
    return QStringLiteral(
        "Privacy redaction applied before ZIP creation:\n"
        "- SystemSerialNumber, SerialNumber, Serial Number (system), serial_number, BoardSerialNumber\n"
        "- SmUUID, SystemUUID, Hardware UUID, platform_UUID, Provisioning UDID\n"
        "- MLB, ROM, MAC address and equivalent patterns\n"
        "- EFI CLOVER/OC: sanitized config.plist only at root, without extra folders\n"
        "- ioreg.txt and SysDump-Zantro.spx sanitized before entering the ZIP");
}

void writeAudioCodecsReport(const std::optional<QString>& listCodec, const QString& to)
{
    QString text;
    if (listCodec) {
        // Copying can drop the execute bit; bash runs the script either way, so a failure
        // to restore it changes nothing.
        makeExecutable(*listCodec);
        text += runProcessCapturing(QStringLiteral("/bin/bash"), {*listCodec}, kCodecListTimeout);
    }
    if (text.trimmed().isEmpty())
        text = QStringLiteral("No codec detected or audio tools unavailable.\n");
    writeTextFile(to, maskText(text));
}

void collectSweepkitStyleDumps(StepContext& ctx, const QString& work, const QString& logsDir,
                               const DumpReportWriters& usbReports)
{
    const CommandTable& commands = ctx.platform.commands;
    const ToolLocator tools = ctx.tools();
    const auto inWork = [&work](const QString& name) { return work + QLatin1Char('/') + name; };

    ctx.log.log(QStringLiteral("Dump 1/9: pmset..."));
    captureCommandOutput(commands.powerSettingsDump, kShortCommandTimeout, inWork(package::pmset), &ctx.log);

    ctx.log.log(QStringLiteral("Dump 2/9: boot-args..."));
    captureCommandOutput(commands.bootArgumentsDump, kShortCommandTimeout, inWork(package::bootArgs), &ctx.log);

    ctx.log.log(QStringLiteral("Dump 3/9: kernel/macOS/CPU..."));
    captureCommandOutput(commands.kernelVersionDump, kShortCommandTimeout, inWork(package::kernelVersion), &ctx.log);
    captureCommandOutput(commands.systemVersionDump, kShortCommandTimeout, inWork(package::systemVersion), &ctx.log);
    captureCommandOutput(commands.cpuBrandDump, kShortCommandTimeout, inWork(package::cpu), &ctx.log);

    ctx.log.log(QStringLiteral("Dump 4/9: limited bootlog with timeout..."));
    // Root ran the same command in the administrator step, where it can read the kernel log
    // and the whole journal; without that, the user's own run shows what the user may see.
    if (const auto privileged = ctx.privileged(); privileged->bootLog && !privileged->bootLog->trimmed().isEmpty())
        writeTextFile(inWork(package::bootLog), maskText(QString::fromUtf8(*privileged->bootLog)));
    else
        captureCommandOutput(commands.bootLogDump, kBootLogTimeout, inWork(package::bootLog), &ctx.log);
    // The first lines above stop early in the boot; the firmware's and ACPI's complaints later
    // on are kept here, all of them.
    writeKernelWarningsReport(ctx, inWork(package::kernelWarnings));

    ctx.log.log(QStringLiteral("Dump 5/9: video decode report..."));
    writeVDADecoderReport(ctx, inWork(package::videoDecode), locateTool(tools, QStringLiteral("VDADecoderChecker")));

    ctx.log.log(QStringLiteral("Dump 6/9: audio/codecs..."));
    writeAudioCodecsReport(locateTool(tools, QStringLiteral("ListCodec.command")), inWork(package::audioCodecs));

    ctx.log.log(QStringLiteral("Dump 7/9: sanitized system_profiler XML with timeout..."));
    captureCommandOutput(commands.systemProfilerXmlDump, kHardwareListingTimeout, inWork(package::systemProfiler), &ctx.log);

    ctx.log.log(QStringLiteral("Dump 8/9: looking for already-mounted EFI to copy CLOVER/OC without password hangs..."));
    copyAndSanitizeMountedEFIOnly(ctx, work, ctx.platform.efiRoots);
    writeFirmwareBootReport(ctx.platform.machineRoot, inWork(package::firmwareBoot));

    ctx.log.log(QStringLiteral("Dump 9/13: PCI/USB controller summary..."));
    callReportWriter(usbReports.writePCIUSBControllersReport, ctx, inWork(package::pciUSBControllers));

    ctx.log.log(QStringLiteral("Dump 10/13: USB power summary..."));
    callReportWriter(usbReports.writeUSBPowerReport, ctx, inWork(package::usbPower));

    ctx.log.log(QStringLiteral("Dump 11/13: filtered loaded kexts..."));
    writeKextsLoadedReport(ctx, inWork(package::kextsLoaded));

    ctx.log.log(QStringLiteral("Dump 12/13: power management details..."));
    writePowerManagementReport(ctx, inWork(package::powerManagement));

    ctx.log.log(QStringLiteral("Dump 13/13: privacy report..."));
    writeTextFile(logsDir + QLatin1Char('/') + package::privacyRedaction, privacyReportText());
}

} // namespace velkor
