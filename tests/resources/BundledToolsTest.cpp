// The helper tools shipped in Resources/Tools, run on small copies of sysfs and /proc (their
// --root seam) and, for patchmatic, on this machine's firmware tables.
#include "base/CollectorError.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "usb/USBIDs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

// A folder standing in for the root of a machine's file system.
struct MachineTree {
    void put(const QString& relative, const QByteArray& content) { writeFile(dir.filePath(relative), content); }
    void link(const QString& relative, const QString& target)
    {
        QDir().mkpath(QFileInfo(dir.filePath(relative)).absolutePath());
        QFile::link(target, dir.filePath(relative));
    }
    QString root() const { return dir.path(); }
    QTemporaryDir dir;
};

// A desktop with an Intel GPU, a NIC and a USB stick, whose identifiers must not be listed.
void addDesktopHardware(MachineTree& m)
{
    const QString gpu = "sys/bus/pci/devices/0000:00:02.0/";
    const std::pair<QString, QByteArray> files[] = {
        {gpu + "class", "0x030000"}, {gpu + "vendor", "0x8086"}, {gpu + "device", "0x3e9b"}, {gpu + "subsystem_vendor", "0x1028"},
        {gpu + "subsystem_device", "0x0869"}, {gpu + "revision", "0x02"}, {gpu + "boot_vga", "1"},
        {gpu + "drm/card0/card0-HDMI-A-1/status", "connected"}, {gpu + "drm/card0/card0-HDMI-A-1/modes", "1920x1080\n1280x720"},
        {"usr/share/misc/pci.ids", "8086  Intel & <Partners>\n\t3e9b  UHD Graphics 630 (Mobile)\nC 03  Display controller\n\t00  VGA compatible controller"},
        {"sys/class/dmi/id/product_name", "Vostro \xff\x01 3670"}, {"sys/class/dmi/id/sys_vendor", "Dell Inc."},
        {"sys/class/dmi/id/product_serial", "PLANTEDSERIAL42"}, {"sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f4d4d32"},
        {"sys/class/dmi/id/board_serial", "/PLANTEDBOARD7/"}, {"sys/class/net/enp3s0/type", "1"},
        {"sys/class/net/enp3s0/address", "b4:2e:99:aa:bb:cc"}, {"sys/class/net/enp3s0/operstate", "up"},
        {"sys/bus/usb/devices/1-2/idVendor", "0781"}, {"sys/bus/usb/devices/1-2/idProduct", "5581"},
        {"sys/bus/usb/devices/1-2/product", "Ultra <USB> 3.0"}, {"sys/bus/usb/devices/1-2/serial", "4C530001PLANTEDUSB"},
        {"proc/cpuinfo", "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\nphysical id\t: 0\ncore id\t\t: 0\n\n"
                         "processor\t: 1\nmodel name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\nphysical id\t: 0\ncore id\t\t: 1"},
        {"proc/meminfo", "MemTotal:       16303412 kB\nSwapTotal:       2097148 kB"}};
    for (const auto& [path, content] : files)
        m.put(path, content + "\n");
    QFile::link("../../../bus/pci/drivers/i915", m.dir.filePath(gpu + "driver"));
}

QString run(const QString& tool, const QStringList& arguments)
{
    return runProcess(tool, arguments, std::nullopt, 30);
}

} // namespace

TEST(SystemProfilerTool, ListsTheHardwareAsAValidPropertyListWithoutIdentifiers)
{
    MachineTree m;
    addDesktopHardware(m);
    QTemporaryDir out;
    const QString listing = out.filePath("SysDump-Zantro.spx");
    const QString xml = run(builtTool("system-profiler"), {"--root", m.root(), "-xml", "SPHardwareDataType", "SPDisplaysDataType",
                                                          "SPNetworkDataType", "SPUSBDataType", "SPUnknownDataType"});
    writeFile(listing, xml.toUtf8());
    EXPECT_EQ(LibplistPropertyListService().validationError(listing), std::nullopt) << xml.toStdString();
    for (const char* shown : {"<string>UHD Graphics 630 (Mobile)</string>", "<string>Intel &amp; &lt;Partners&gt;</string>",
                              "<string>Ultra &lt;USB&gt; 3.0</string>", "<string>connected, 1920x1080</string>",
                              "<string>Vostro  3670</string>"}) // bad bytes and control characters are dropped
        EXPECT_TRUE(xml.contains(shown)) << shown;
    for (const char* identifier : {"PLANTEDSERIAL42", "4c4c4544", "PLANTEDBOARD7", "b4:2e:99", "PLANTEDUSB"})
        EXPECT_FALSE(xml.contains(identifier, Qt::CaseInsensitive)) << identifier;

    const QString text = run(builtTool("system-profiler"), {"--root", m.root(), "SPHardwareDataType"});
    EXPECT_TRUE(text.startsWith("Hardware:\n\n    Hardware Overview:\n\n      Model Name: Vostro  3670\n      Manufacturer: Dell Inc.\n"))
        << text.toStdString();
    for (const char* line : {"Processor Name: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\n", "Total Number of Cores: 2\n", "Memory: 16 GB\n"})
        EXPECT_TRUE(text.contains(QString("      ") + line)) << line;
}

TEST(VDADecoderCheckerTool, NamesTheGPUByItsPCIIdentityAndEndsQuickly)
{
    MachineTree m;
    addDesktopHardware(m);
    EXPECT_EQ(run(builtTool("VDADecoderChecker"), {m.root()}),
              "VA-API and VDPAU tools are not installed (vainfo, vdpauinfo); the GPU's identity follows.\n\n"
              "GPU 0000:00:02.0: Intel, PCI ID 8086:3e9b (class 030000, revision 02)\n  Subsystem: 1028:0869\n"
              "  Driver: i915\n  Boot display: yes\n");
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(run(builtTool("VDADecoderChecker"), {}).trimmed().isEmpty());
    EXPECT_LT(clock.elapsed(), 15000);
}

TEST(ListCodecTool, ListsEachCodecsIdentityThenItsWholeListingBoundedInSize)
{
    MachineTree m;
    for (const QString& name : QStringList{"card0/id", "card0/codec#0", "card0/codec#2", "card1/id"})
        m.put("proc/asound/" + name, readFile(testData("dumps/asound/" + name)));
    const QString listing = run("/bin/bash", {builtTool("ListCodec.command"), "--root", m.root()});
    const QString summary = "card0 (PCH) codec#0\nCodec: Realtek ALC892\n  Address: 0\n  Vendor Id: 0x10ec0892\n  Subsystem Id: 0x1458a002\n"
                            "  Revision Id: 0x100302\n\ncard0 (PCH) codec#2\nCodec: Intel Kabylake HDMI\n  Address: 2\n"
                            "  Vendor Id: 0x8086280b\n  Subsystem Id: 0x80860101\n  Revision Id: 0x100000\n";
    EXPECT_TRUE(listing.startsWith(summary + "\n===== card0 codec#0 full listing =====\n")) << listing.toStdString();
    EXPECT_TRUE(listing.contains("\n===== card0 codec#2 full listing =====\n" + readText(testData("dumps/asound/card0/codec#2"))));
    EXPECT_TRUE(listing.contains(readText(testData("dumps/asound/card0/codec#0"))));

    // A listing that never ends (a broken driver) is cut, and says so.
    m.put("proc/asound/card0/codec#0", readFile(testData("dumps/asound/card0/codec#0")) + QByteArray(600 * 1024, 'x'));
    const QString cut = run("/bin/bash", {builtTool("ListCodec.command"), "--root", m.root()});
    EXPECT_TRUE(cut.contains("x\n[listing cut at 524288 bytes]\n\n===== card0 codec#2")) << cut.right(200).toStdString();
    EXPECT_LT(cut.size(), 530 * 1024);

    QTemporaryDir empty;
    EXPECT_EQ(run("/bin/bash", {builtTool("ListCodec.command"), "--root", empty.path()}), "");
    EXPECT_EQ(run("/bin/bash", {builtTool("ListCodec.command"), empty.filePath("missing")}), "");
}

TEST(KernelDriversTool, ListsEachDevicesBoundDriverThenTheMatchingModules)
{
    MachineTree m;
    addDesktopHardware(m);
    m.put("sys/bus/pci/devices/0000:00:1f.3/class", "0x040300\n");
    m.put("sys/bus/pci/devices/0000:00:1f.3/vendor", "0x8086\n");
    m.put("sys/bus/pci/devices/0000:00:1f.3/device", "0xa348\n");
    m.link("sys/bus/usb/devices/1-2/driver", "../../../bus/usb/drivers/usb");
    m.link("sys/bus/usb/devices/1-2/1-2:1.0/driver", "../../../../bus/usb/drivers/usb-storage");
    m.put("sys/bus/usb/devices/1-2:1.0/bInterfaceClass", "08\n"); // an interface, not a device
    m.put("proc/modules", "i915 3911680 30 - Live 0x0\nr8169 106496 0 - Live 0x0\nzram 32768 2 - Live 0x0\n");
    const QString tool = builtTool("kernel-drivers");

    const QString listing = run(tool, {"--root", m.root(), "--modules", "i915|r8169|thunderbolt"});
    for (const QString& line : QStringList{
             "  0000:00:02.0  class 030000  8086:3e9b  subsystem 1028:0869  driver i915\n",
             "  0000:00:1f.3  class 040300  8086:a348  subsystem -:-  driver none\n",
             "  1-2  0781:5581  Ultra <USB> 3.0  driver usb; interfaces 1-2:1.0=usb-storage\n",
             "Loaded modules matching the drivers of interest:\ni915 3911680 30 - Live 0x0\nr8169 106496 0 - Live 0x0\n"})
        EXPECT_TRUE(listing.contains(line)) << line.toStdString() << "\n" << listing.toStdString();
    EXPECT_FALSE(listing.contains("zram"));
    EXPECT_FALSE(listing.contains("PLANTEDUSB"));
    EXPECT_FALSE(listing.contains("1-2:1.0  ")) << "an interface is not listed as a device";

    // No matching module fails as the filter does, after the device listing.
    const ProcessOutcome none = runProcessRaw(tool, {"--root", m.root(), "--modules", "nouveau"}, std::nullopt, 30);
    EXPECT_EQ(none.exitStatus, 1);
    EXPECT_TRUE(none.output.contains("driver i915"));
    QTemporaryDir empty;
    EXPECT_EQ(run(tool, {"--root", empty.path()}),
              "PCI devices (address, class, vendor:device, subsystem vendor:device, driver):\n  none listed in sysfs\n\n"
              "USB devices (port, vendor:product, name, driver; interface drivers):\n  none listed in sysfs\n");
}

TEST(CPUFriendDumpTool, WritesThePowerManagementFilesIntoTheFolder)
{
    MachineTree m;
    const QString cpu = "sys/devices/system/cpu/";
    for (const char* policy : {"policy0", "policy1"}) {
        const std::pair<const char*, const char*> files[] = {
            {"scaling_driver", "intel_pstate"}, {"scaling_governor", "powersave"}, {"scaling_available_governors", "performance powersave"},
            {"energy_performance_preference", "balance_performance"}, {"cpuinfo_min_freq", "800000"}, {"cpuinfo_max_freq", "4600000"},
            {"energy_performance_available_preferences", "default performance balance_performance balance_power power"},
            {"base_frequency", "3200000"}};
        for (const auto& [name, value] : files)
            m.put(cpu + "cpufreq/" + policy + "/" + name, QByteArray(value) + "\n");
    }
    m.put(cpu + "intel_pstate/status", "active\n");
    m.put(cpu + "intel_pstate/no_turbo", "0\n");
    m.put("proc/cpuinfo", "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i7-8700\nSerial\t\t: 00000000PLANTED1\n\nprocessor\t: 1\n");
    QTemporaryDir out;
    const QString folder = out.filePath("CPU Friend's dump");

    EXPECT_TRUE(run("/bin/bash", {builtTool("CPUFriend-Dump.command"), folder, m.root()}).endsWith("CPUFriend-Dump: done\n"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files, QDir::Name), QStringList({"cpufreq-policies.txt", "cpuidle.txt", "intel_pstate.txt",
                                                                           "processor.txt", "summary.txt", "thermal-power.txt"}));
    const QString summary = readText(folder + "/summary.txt");
    for (const char* line : {"Frequency policies: 2", "Scaling driver: intel_pstate", "Governors in use: powersave",
                             "Energy-performance preference: balance_performance",
                             "Hardware frequency range: 800000 - 4600000 kHz (base 3200000 kHz)",
                             "Turbo: enabled (intel_pstate no_turbo=0)", "intel_pstate status: active"})
        EXPECT_TRUE(summary.contains(QString(line) + "\n")) << line << "\n" << summary.toStdString();
    EXPECT_TRUE(readText(folder + "/cpufreq-policies.txt").contains("== policy1\n"));
    EXPECT_TRUE(readText(folder + "/processor.txt").contains("model name\t: Intel(R) Core(TM) i7-8700\n"));
    EXPECT_FALSE(readText(folder + "/processor.txt").contains("PLANTED1"));

    // Without a folder it can write to, it fails.
    EXPECT_THROW(run("/bin/bash", {builtTool("CPUFriend-Dump.command")}), CollectorError);
    writeFile(out.filePath("a file"), "x");
    EXPECT_THROW(run("/bin/bash", {builtTool("CPUFriend-Dump.command"), out.filePath("a file/sub")}), CollectorError);
}

TEST(PowerSettingsTools, ReportWhatTheMachineHasAndSayWhatIsMissing)
{
    MachineTree m;
    m.put("sys/power/state", "freeze mem disk\n");
    m.put("sys/power/mem_sleep", "s2idle [deep]\n");
    m.put("sys/class/rtc/rtc0/wakealarm", "1796000000\n");
    const QString tool = builtTool("power-settings");
    EXPECT_EQ(run(tool, {"--root", m.root(), "-g", "cap"}), "Capabilities for this machine:\n sleep states: freeze mem disk\n suspend modes: s2idle [deep]\n");
    EXPECT_EQ(run(tool, {"--root", m.root(), "-g", "sched"}), "Scheduled wake (rtc0): 2026-11-30 00:53:20 +0000\n");
    EXPECT_TRUE(run(tool, {"--root", m.root(), "-g"}).startsWith("System-wide power settings:\n state                  freeze mem disk\n"));
    EXPECT_TRUE(run(builtTool("usb-power-settings"), {"--root", m.root()}).startsWith("System sleep states:\n/sys/power/state: freeze mem disk\n"));
    // Nothing scheduled prints nothing; no source of assertions at all is a failure.
    MachineTree bare;
    bare.put("sys/power/state", "\n");
    EXPECT_EQ(run(tool, {"--root", bare.root(), "-g", "sched"}), "");
    EXPECT_THROW(run(tool, {"--root", bare.root(), "-g", "assertions"}), CollectorError);
    EXPECT_THROW(run(tool, {"--root", bare.root() + "/missing", "-g", "cap"}), CollectorError);
    // The USB report's tools never fail for what a machine lacks.
    EXPECT_TRUE(run(builtTool("usb-power-settings"), {"--root", bare.root() + "/missing"}).contains("\nPower sources:\nnone reported\n"));
    EXPECT_EQ(run(builtTool("usb-device-tree"), {"--root", bare.root()}),
              "This machine has no USB bus (/sys/bus/usb/devices is missing).\n\nNo USB devices under /sys/bus/usb/devices.\n");
}

// The firmware's tables by the .aml name patchmatic gives them: SSDT3 -> SSDT-3.aml.
QMap<QString, QString> firmwareTables()
{
    static const QRegularExpression numbered(QStringLiteral("^(.{4})(\\d+)$"));
    QMap<QString, QString> tables;
    for (const QString& folder : {QStringLiteral("/sys/firmware/acpi/tables"), QStringLiteral("/sys/firmware/acpi/tables/dynamic")}) {
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
            const auto match = numbered.match(file.fileName());
            tables.insert((match.hasMatch() ? match.captured(1) + "-" + match.captured(2) : file.fileName()) + ".aml", file.filePath());
        }
    }
    return tables;
}

TEST(PatchmaticTool, WritesEveryFirmwareTableByteForByteAndNeverThroughALink)
{
    const QMap<QString, QString> tables = firmwareTables();
    if (::geteuid() != 0 || !tables.contains("DSDT.aml"))
        GTEST_SKIP() << "needs root and the firmware tables";
    QTemporaryDir work;
    writeFile(work.filePath("victim"), "untouched");
    QFile::link(work.filePath("victim"), work.filePath("DSDT.aml"));

    const ProcessOutcome outcome = runProcessRaw(builtTool("patchmatic"), {"-extract"}, work.path(), 30);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.output.toStdString();
    EXPECT_TRUE(outcome.output.contains("patchmatic: wrote DSDT.aml")) << outcome.output.toStdString();
    EXPECT_EQ(readText(work.filePath("victim")), "untouched");
    EXPECT_EQ(QDir(work.path()).entryList({"*.aml"}, QDir::Files).size(), tables.size());
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it)
        EXPECT_EQ(readFile(work.filePath(it.key())), readFile(it.value())) << it.key().toStdString();
    EXPECT_FALSE(QFileInfo(work.filePath("DSDT.aml")).isSymLink());
    EXPECT_EQ(QFile::permissions(work.filePath("DSDT.aml")) & QFileDevice::ReadOther, QFileDevice::ReadOther);
}

TEST(PatchmaticTool, RefusesOtherArgumentsAndOtherUsers)
{
    for (const QStringList& arguments : {QStringList{}, QStringList{"-extract", "more"}, QStringList{"extract"}}) {
        QTemporaryDir work;
        const ProcessOutcome outcome = runProcessRaw(builtTool("patchmatic"), arguments, work.path(), 30);
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.output, "usage: patchmatic -extract\n");
        EXPECT_TRUE(QDir(work.path()).isEmpty());
    }
    if (::geteuid() != 0 || !QFileInfo::exists("/usr/sbin/runuser"))
        GTEST_SKIP() << "needs root and runuser";
    // A folder and a copy of the tool the other user can reach.
    QTemporaryDir work;
    QTemporaryDir tools;
    QFile::setPermissions(work.path(), QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther | QFileDevice::ReadOwner
                                           | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::setPermissions(tools.path(), QFileDevice::ReadOther | QFileDevice::ExeOther | QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                            | QFileDevice::ExeOwner);
    ASSERT_TRUE(QFile::copy(builtTool("patchmatic"), tools.filePath("patchmatic")));
    const ProcessOutcome outcome = runProcessRaw("/usr/sbin/runuser", {"-u", "nobody", "--", tools.filePath("patchmatic"), "-extract"},
                                                 work.path(), 30);
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_TRUE(outcome.output.contains("administrator rights are needed")) << outcome.output.toStdString();
    EXPECT_TRUE(QDir(work.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

// The bundled database is the PCI ID list: it names the common XHCI controllers, which the USB
// ID list does not.
TEST(BundledIDDatabase, NamesCommonXHCIControllers)
{
    const struct {
        qint64 vendor;
        qint64 device;
        const char* mentions;
    } controllers[] = {
        {0x1b73, 0x1100, "Fresco Logic FL1100 USB 3.0 Host Controller"}, {0x1033, 0x0194, "NEC Corporation uPD720200 USB 3.0 Host Controller"},
        {0x1b36, 0x000d, "Red Hat, Inc. QEMU XHCI Host Controller"}, {0x8086, 0xa36d, "Cannon Lake"}, {0x8086, 0xa12f, "100 Series"},
        {0x8086, 0x15d4, "Thunderbolt"}, {0x8086, 0x9cb1, "Wildcat Point"}, {0x1b21, 0x2142, "ASM2142"},
    };
    for (const auto& controller : controllers) {
        const QString name = usbIDsNameFromFile(builtTool("usb.ids"), controller.vendor, controller.device);
        EXPECT_TRUE(name.contains(QLatin1String(controller.mentions))) << name.toStdString();
    }
}
