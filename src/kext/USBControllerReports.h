#pragma once

#include "platform/CommandTable.h"
#include "usb/USBRecords.h"

#include <QString>

namespace velkor {

struct StepContext;

// "PCI-USB-Controllers.txt": the controllers and ports of a fresh registry scan, masked.
// Throws only when the file cannot be written.
void writePCIUSBControllersReport(StepContext& context, const QString& to);

// "USBPower.txt": power settings, what keeps the machine awake and the USB device tree with
// power data, from the platform's command table, masked. A failing or timed-out command
// leaves its failure text in the report. Throws only when the file cannot be written.
void writeUSBPowerReport(StepContext& context, const QString& to);

// The reports' text before masking, with the "Generated: " stamp given.
QString pciUSBControllersReportText(const USBScanResult& scan, const QString& generated);
QString usbPowerReportText(const CommandTable& commands, const QString& generated);

} // namespace velkor
