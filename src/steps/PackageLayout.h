#pragma once

#include <QString>

// Every name of the diagnostic package, in one place. The recipient looks for these names.
namespace velkor::package {

inline const QString zipName = QStringLiteral("SendToZantro.zip");
inline const QString workFolder = QStringLiteral("SendToZantro_Work");
inline const QString toolsTempPrefix = QStringLiteral("Velkor_Tools_");

inline const QString acpiFolder = QStringLiteral("ACPI");
inline const QString patchmaticOutput = QStringLiteral("patchmatic-output.txt");
inline const QString acpiExtractionFailed = QStringLiteral("ACPI-extraction-failed.txt");

inline const QString pmset = QStringLiteral("Pmset.txt");
inline const QString bootArgs = QStringLiteral("Bootargs.txt");
inline const QString kernelVersion = QStringLiteral("KernelVersion.txt");
inline const QString systemVersion = QStringLiteral("SystemVersion.txt");
inline const QString cpu = QStringLiteral("Cpu.txt");
inline const QString bootLog = QStringLiteral("bootlog.txt");
inline const QString kernelWarnings = QStringLiteral("KernelWarnings.txt");
inline const QString videoDecode = QStringLiteral("VDADecoderChecker.txt");
inline const QString audioCodecs = QStringLiteral("AudioCodecs.txt");
inline const QString systemProfiler = QStringLiteral("SysDump-Zantro.spx");
inline const QString cloverConfig = QStringLiteral("CLOVER-config.plist");
inline const QString openCoreConfig = QStringLiteral("OC-config.plist");
inline const QString firmwareBoot = QStringLiteral("FirmwareBoot.txt");
inline const QString pciUSBControllers = QStringLiteral("PCI-USB-Controllers.txt");
inline const QString usbPower = QStringLiteral("USBPower.txt");
inline const QString kextsLoaded = QStringLiteral("KextsLoaded.txt");
inline const QString powerManagement = QStringLiteral("PowerManagement.txt");
inline const QString privacyRedaction = QStringLiteral("privacy-redaction.txt");
inline const QString privacyAudit = QStringLiteral("privacy-audit.txt");

inline const QString cpuFriendFolder = QStringLiteral("CPUFriend-Dump");
inline const QString cpuFriendSkipped = QStringLiteral("CPUFriend-Dump-skipped.txt");
inline const QString cpuFriendRunLog = QStringLiteral("CPUFriend-Dump-run.log");

inline const QString ioregText = QStringLiteral("ioreg.txt");
inline const QString ioregDeviceTree = QStringLiteral("ioregAPP.txt");
inline const QString kextBundle = QStringLiteral("Portwright.kext");
inline const QString kextReport = QStringLiteral("Portwright-report.txt");
inline const QString systemInfo = QStringLiteral("system-info.txt");
inline const QString collectorLog = QStringLiteral("collector-log.txt");

} // namespace velkor::package
