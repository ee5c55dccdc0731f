#pragma once

#include <QString>
#include <QStringList>

namespace velkor {

// One external command: the program by absolute path and its arguments.
struct StockCommand {
    QString program;
    QStringList arguments;

    QString commandLine() const;
};

// The stock tools the dumps and reports run, one field per command. The collection was
// designed around macOS tools; on Linux each field holds the command that shows the same
// facts. Tests build their own table.
struct CommandTable {
    // Pipeline: the IODeviceTree plane listing written as "ioregAPP.txt".
    StockCommand deviceTreeListing;

    // Numbered dumps (run by the dumps steps).
    StockCommand powerSettingsDump;      // Pmset.txt
    StockCommand bootArgumentsDump;      // Bootargs.txt
    StockCommand kernelVersionDump;      // KernelVersion.txt
    StockCommand systemVersionDump;      // SystemVersion.txt
    StockCommand cpuBrandDump;           // Cpu.txt
    StockCommand bootLogDump;            // bootlog.txt
    StockCommand kernelWarningsDump;     // KernelWarnings.txt
    StockCommand systemProfilerXmlDump;  // SysDump-Zantro.spx
    // System reports.
    StockCommand systemVersion;          // system-info.txt
    StockCommand kernelIdentity;         // system-info.txt
    StockCommand hardwareOverview;       // system-info.txt
    StockCommand displaysOverview;       // VDADecoderChecker.txt fallback block
    StockCommand fileType;               // VDADecoderChecker.txt, the tool's file type (path appended)
    StockCommand loadedKextsFiltered;    // KextsLoaded.txt
    StockCommand powerSettings;          // PowerManagement.txt blocks
    StockCommand powerAssertions;
    StockCommand powerSchedule;
    StockCommand powerCapabilities;

    // USB reports (run by the USB report writer).
    StockCommand usbPowerSettings;       // USBPower.txt
    StockCommand usbPowerAssertions;
    StockCommand usbDeviceTree;
};

} // namespace velkor
