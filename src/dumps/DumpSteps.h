#pragma once

#include "steps/StepContext.h"

#include <QString>
#include <functional>
#include <optional>

namespace velkor {

// The USB report writers that dumps 9 and 10 call; each writes the report file it is given.
struct DumpReportWriters {
    std::function<void(StepContext&, const QString&)> writePCIUSBControllersReport;
    std::function<void(StepContext&, const QString&)> writeUSBPowerReport;
};

// The thirteen numbered dumps of a run: power settings, boot arguments, kernel, OS and CPU
// identity, boot log, video decode, audio codecs, hardware XML, the mounted EFI configuration,
// the USB reports, loaded drivers, power management and the privacy note. Files land in
// `work`, the privacy note in `logsDir`. A failing tool leaves its failure text in its file;
// a failed write or a failing report writer throws and ends the dumps.
void collectSweepkitStyleDumps(StepContext& ctx, const QString& work, const QString& logsDir,
                               const DumpReportWriters& usbReports);

// "AudioCodecs.txt": what the codec lister prints, or a fixed note when it prints nothing or
// there is none. Throws only when the file cannot be written.
void writeAudioCodecsReport(const std::optional<QString>& listCodec, const QString& to);

// The fixed text of "privacy-redaction.txt", the same on every machine.
QString privacyReportText();

} // namespace velkor
