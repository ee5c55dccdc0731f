#include "kext/USBControllerReports.h"

#include "steps/StepContext.h"
#include "base/Timestamps.h"
#include "kext/PortwrightKext.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"
#include "usb/LocalizedCompare.h"
#include "usb/NativeUSBTreeScanner.h"
#include "usb/USBTextFormat.h"

#include <QStringList>

#include <algorithm>

namespace velkor {
namespace {

QString captured(const StockCommand& command, double timeoutSeconds)
{
    return runProcessCapturing(command.program, command.arguments, timeoutSeconds);
}

} // namespace

QString pciUSBControllersReportText(const USBScanResult& scan, const QString& generated)
{
    QStringList lines{QStringLiteral("Velkor PCI/USB Controllers Report"), QStringLiteral("Generated: ") + generated, QString()};
    if (scan.isEmpty()) {
        lines.append(QStringLiteral("No USB/XHCI controller detected by native IOKit scan."));
        return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }
    int number = 0;
    for (const USBControllerMap& controller : scan.controllers) {
        lines.append(QStringLiteral("Controller ") + QString::number(++number) + QStringLiteral(": ") + controller.name);
        lines.append(QStringLiteral("  PCI ID: ") + usbtext::hex(controller.vendorID, 4, false) + QLatin1Char(':')
                     + usbtext::hex(controller.deviceID, 4, false));
        lines.append(QStringLiteral("  IOPCIPrimaryMatch: ") + pciPrimaryMatch(controller.vendorID, controller.deviceID));
        lines.append(QStringLiteral("  IONameMatch: ") + controller.ioNameMatch);
        lines.append(QStringLiteral("  Provider class: ")
                     + (controller.providerClass.isEmpty() ? QStringLiteral("not attached") : controller.providerClass));
        lines.append(QStringLiteral("  Location: ")
                     + (controller.location.isEmpty() ? QStringLiteral("unknown") : controller.location));
        if (!controller.usbDeviceName.isEmpty())
            lines.append(QStringLiteral("  Name: ") + controller.usbDeviceName);
        lines.append(QStringLiteral("  Ports detected: ") + QString::number(controller.ports.size()));
        QList<USBPortMap> ports = controller.ports;
        std::stable_sort(ports.begin(), ports.end(),
                         [](const USBPortMap& left, const USBPortMap& right) {
                             return localizedStandardLess(left.name, right.name);
                         });
        for (const USBPortMap& port : ports) {
            lines.append(QStringLiteral("    - ") + port.name + QStringLiteral(": connector=") + QString::number(port.connector)
                         + QStringLiteral(", port=<") + QString::fromLatin1(port.portData.toHex()) + QStringLiteral(">, active=")
                         + (port.activeDevice.isEmpty() ? QStringLiteral("none") : port.activeDevice));
        }
        lines.append(QString());
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString usbPowerReportText(const CommandTable& commands, const QString& generated)
{
    const QStringList lines{
        QStringLiteral("Velkor USB Power Report"),
        QStringLiteral("Generated: ") + generated,
        QString(),
        QStringLiteral("pmset -g:"),
        captured(commands.usbPowerSettings, 8),
        QString(),
        QStringLiteral("pmset -g assertions:"),
        captured(commands.usbPowerAssertions, 10),
        QString(),
        QStringLiteral("SPUSBDataType:"),
        captured(commands.usbDeviceTree, 25),
    };
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void writePCIUSBControllersReport(StepContext& context, const QString& to)
{
    const Platform& platform = context.platform;
    const USBScanResult scan =
        platform.registry ? NativeUSBTreeScanner(*platform.registry, platform.bundle).scan() : USBScanResult{};
    writeTextFile(to, maskText(pciUSBControllersReportText(scan, reportTimestamp())));
}

void writeUSBPowerReport(StepContext& context, const QString& to)
{
    writeTextFile(to, maskText(usbPowerReportText(context.platform.commands, reportTimestamp())));
}

} // namespace velkor
