#include "platform/linux/LinuxCommandTable.h"

#include "process/ShellQuoting.h"

namespace velkor {
namespace {

StockCommand shellCommand(const QString& commandLine)
{
    return {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine}};
}

QString bundledTool(const AppBundle& bundle, const QString& name)
{
    // Without a resource folder the path names no file, and every command that uses it
    // reports the failed launch in its dump.
    return bundle.toolsPath() + QLatin1Char('/') + name;
}

// The drivers of interest, the same names the loaded-extension listing is filtered by.
const QString kDriverPattern = QStringLiteral(
    "usb|xhci|acpi|audio|hda|alc|graphics|amd|radeon|intel|network|ethernet|wifi|airport|bluetooth|smc|lilu|whatever|"
    "virtual|voodoo|nvme|sata|ahci|sensor");

void addDumpCommands(CommandTable& table, const AppBundle& bundle)
{
    const QString profiler = bundledTool(bundle, QStringLiteral("system-profiler"));
    const QString power = bundledTool(bundle, QStringLiteral("power-settings"));
    const QString osRelease = QStringLiteral("/usr/bin/cat /etc/os-release 2>/dev/null || /usr/bin/cat /usr/lib/os-release");

    table.powerSettingsDump = shellCommand(shellQuoted(power) + QStringLiteral(" -g"));
    table.bootArgumentsDump = shellCommand(QStringLiteral("/usr/bin/cat /proc/cmdline"));
    // /proc/version is the kernel's own version banner; the text before the first ";" is kept.
    table.kernelVersionDump = shellCommand(QStringLiteral("/usr/bin/cat /proc/version | /usr/bin/cut -d ';' -f1"));
    table.systemVersionDump = shellCommand(osRelease);
    table.cpuBrandDump = shellCommand(QStringLiteral(
        "(/usr/bin/sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo; "
        "/usr/bin/lscpu 2>/dev/null | /usr/bin/sed -n 's/^Model name:[[:space:]]*//p') 2>/dev/null | /usr/bin/head -n 1 || true"));
    // The first 400 lines of this boot's journal, or of the kernel log where the journal has
    // none for this user. The administrator step runs it as root, who may read both; the dump
    // runs it as the user only when root's run gave nothing. Kernel lines name USB devices' serial numbers after "SerialNumber:"
    // in the middle of a line, where the line rules do not reach, so they are cut here.
    table.bootLogDump = shellCommand(QStringLiteral(
        "(/usr/bin/journalctl -b --no-pager -q 2>/dev/null | /usr/bin/head -400 | /usr/bin/grep . || "
        "/usr/bin/dmesg 2>/dev/null | /usr/bin/head -400) | /usr/bin/sed 's/\\(SerialNumber:\\).*/\\1 XX-MASKED-XX/'"));
    // The warning and error lines of this boot's kernel log, each with its priority ("<4>"),
    // from the kernel's ring buffer or, where that is closed to users, from the journal, which
    // lets the adm group and the user's own session read it.
    table.kernelWarningsDump = shellCommand(QStringLiteral(
        "/usr/bin/dmesg -r --level=emerg,alert,crit,err,warn 2>/dev/null || "
        "/usr/bin/journalctl -k -b -p warning --no-pager -q -o short-monotonic 2>/dev/null | /usr/bin/grep ."));
    table.systemProfilerXmlDump = {profiler,
                                   {QStringLiteral("-xml"), QStringLiteral("SPHardwareDataType"), QStringLiteral("SPDisplaysDataType"),
                                    QStringLiteral("SPPCIDataType"), QStringLiteral("SPUSBDataType"), QStringLiteral("SPAudioDataType"),
                                    QStringLiteral("SPNetworkDataType"), QStringLiteral("SPNVMeDataType"),
                                    QStringLiteral("SPSerialATADataType"), QStringLiteral("SPMemoryDataType")}};

    table.systemVersion = shellCommand(osRelease);
    table.kernelIdentity = {QStringLiteral("/usr/bin/uname"), {QStringLiteral("-a")}};
    table.hardwareOverview = {profiler, {QStringLiteral("SPHardwareDataType")}};
    table.displaysOverview = {profiler, {QStringLiteral("SPDisplaysDataType")}};
    table.fileType = {QStringLiteral("/usr/bin/file"), {}};
    // Each PCI and USB device with its IDs and the driver bound to it, from sysfs, then the
    // loaded modules of interest (lsmod, /proc/modules or /sys/module); exits 1 when no module
    // matches, as the filter of the loaded-extension listing does.
    table.loadedKextsFiltered = {bundledTool(bundle, QStringLiteral("kernel-drivers")), {QStringLiteral("--modules"), kDriverPattern}};
    table.powerSettings = {power, {QStringLiteral("-g")}};
    table.powerAssertions = {power, {QStringLiteral("-g"), QStringLiteral("assertions")}};
    table.powerSchedule = {power, {QStringLiteral("-g"), QStringLiteral("sched")}};
    table.powerCapabilities = {power, {QStringLiteral("-g"), QStringLiteral("cap")}};
}

void addUSBReportCommands(CommandTable& table, const AppBundle& bundle)
{
    table.usbPowerSettings = {bundledTool(bundle, QStringLiteral("usb-power-settings")), {}};
    table.usbPowerAssertions = {QStringLiteral("/usr/bin/systemd-inhibit"),
                                {QStringLiteral("--list"), QStringLiteral("--no-pager")}};
    table.usbDeviceTree = {bundledTool(bundle, QStringLiteral("usb-device-tree")), {}};
}

} // namespace

CommandTable linuxCommandTable(const AppBundle& bundle)
{
    CommandTable table;
    // The bundled listing tool prints a registry plane in the "ioreg -l -w0" text form.
    table.deviceTreeListing = {bundledTool(bundle, QStringLiteral("ioreg")),
                               {QStringLiteral("-p"), QStringLiteral("IODeviceTree"), QStringLiteral("-l"), QStringLiteral("-w0")}};
    addDumpCommands(table, bundle);
    addUSBReportCommands(table, bundle);
    return table;
}

} // namespace velkor
