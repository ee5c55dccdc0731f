// The tools in Resources/Tools on small copies of sysfs and /proc (their --root seam).
#include "base/CollectorError.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "usb/USBIDs.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

static QString run(const QString& tool, const QStringList& arguments)
{
    return runProcess(tool, arguments, std::nullopt, 30);
}

// A machine with an Intel GPU, a NIC and a USB stick, whose identifiers must not be listed, and
// names with XML's special characters, bytes that are not UTF-8 and control characters.
static void addDesktop(const QTemporaryDir& m)
{
    const QString gpu = "sys/bus/pci/devices/0000:00:02.0/", dmi = "sys/class/dmi/id/", usb = "sys/bus/usb/devices/1-2/";
    for (const auto& [name, content] : std::initializer_list<std::pair<QString, QByteArray>>{
             {gpu + "class", "0x030000"}, {gpu + "vendor", "0x8086"}, {gpu + "device", "0x3e9b"}, {gpu + "subsystem_vendor", "0x1028"},
             {gpu + "subsystem_device", "0x0869"}, {gpu + "revision", "0x02"}, {gpu + "boot_vga", "1"},
             {gpu + "drm/card0/card0-HDMI-A-1/status", "connected"}, {gpu + "drm/card0/card0-HDMI-A-1/modes", "1920x1080\n1280x720"},
             {"usr/share/misc/pci.ids", "8086  Intel & <Partners>\n\t3e9b  UHD Graphics 630 (Mobile)\nC 03  Display controller"},
             {dmi + "product_name", "Vostro \xff\x01 3670"}, {dmi + "sys_vendor", "Dell Inc."}, {dmi + "product_serial", "PLANTEDSERIAL42"},
             {dmi + "product_uuid", "4c4c4544-0042-3510-8052-b4c04f4d4d32"}, {dmi + "board_serial", "/PLANTEDBOARD7/"},
             {"sys/class/net/enp3s0/type", "1"}, {"sys/class/net/enp3s0/address", "b4:2e:99:aa:bb:cc"}, {usb + "idVendor", "0781"},
             {usb + "idProduct", "5581"}, {usb + "product", "Ultra <USB> 3.0"}, {usb + "serial", "4C530001PLANTEDUSB"},
             {"sys/bus/usb/devices/1-2:1.0/bInterfaceClass", "08"}, // an interface, not a device
             {"proc/modules", "i915 3911680 30 - Live 0x0\nzram 32768 2 - Live 0x0"}, {"proc/meminfo", "MemTotal:       16303412 kB"},
             {"proc/cpuinfo", "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i7-8700\ncore id\t\t: 0\n\nprocessor\t: 1\ncore id\t\t: 1"}})
        writeFile(m.filePath(name), content + "\n");
    for (const QString& name : QStringList{"card0/id", "card0/codec#0", "card0/codec#2", "card1/id"})
        writeFile(m.filePath("proc/asound/" + name), readFile(testData("dumps/asound/" + name)));
    QFile::link("../../../bus/pci/drivers/i915", m.filePath(gpu + "driver"));
    QDir().mkpath(m.filePath(usb + "1-2:1.0"));
    QFile::link("../../../../bus/usb/drivers/usb-storage", m.filePath(usb + "1-2:1.0/driver"));
}

// Each tool explains itself on --help and -h, and an unknown option is never taken for a folder:
// nothing is written into the folder it runs in.
TEST(BundledTools, EveryToolAnswersHelpAndRefusesUnknownOptions)
{
    const QDir tools(QStringLiteral(VELKOR_BUILT_TOOLS_DIR));
    const QStringList names = tools.entryList(QDir::Files | QDir::Executable);
    ASSERT_GE(names.size(), 9) << names.join(' ').toStdString();
    const QStringList refusing{"CPUFriend-Dump.command", "ListCodec.command", "VDADecoderChecker"};
    for (const QString& name : names) {
        for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h"), QStringLiteral("--verbose")}) {
            if (option == "--verbose" && !refusing.contains(name))
                continue;
            SCOPED_TRACE((name + ' ' + option).toStdString());
            const QTemporaryDir work;
            const ProcessOutcome outcome = runProcessRaw(tools.filePath(name), {option}, work.path(), 30);
            EXPECT_EQ(outcome.exitStatus, option == "--verbose" ? 2 : 0) << outcome.output.toStdString();
            EXPECT_TRUE(option == "--verbose" || outcome.output.contains("usage: " + name.toUtf8())) << outcome.output.toStdString();
            EXPECT_TRUE(QDir(work.path()).isEmpty());
        }
    }
}

TEST(BundledTools, TheHardwareListingsNameTheDevicesAndNoIdentifier)
{
    QTemporaryDir m;
    addDesktop(m);
    const QString xml = run(builtTool("system-profiler"), {"--root", m.path(), "-xml", "SPHardwareDataType", "SPDisplaysDataType",
                                                          "SPNetworkDataType", "SPUSBDataType", "SPUnknownDataType"});
    writeFile(m.filePath("SysDump-Zantro.spx"), xml.toUtf8());
    EXPECT_EQ(LibplistPropertyListService().validationError(m.filePath("SysDump-Zantro.spx")), std::nullopt) << xml.toStdString();
    for (const char* shown : {"<string>UHD Graphics 630 (Mobile)</string>", "<string>Intel &amp; &lt;Partners&gt;</string>",
                              "<string>Ultra &lt;USB&gt; 3.0</string>", "<string>connected, 1920x1080</string>", "<string>Vostro  3670</string>"})
        EXPECT_TRUE(xml.contains(shown)) << shown;
    const QString text = run(builtTool("system-profiler"), {"--root", m.path(), "SPHardwareDataType"});
    for (const char* line : {"Model Name: Vostro  3670\n      Manufacturer: Dell Inc.\n", "Total Number of Cores: 2\n", "Memory: 16 GB\n"})
        EXPECT_TRUE(text.contains(line)) << line << text.toStdString();
    const QString drivers = run(builtTool("kernel-drivers"), {"--root", m.path(), "--modules", "i915|r8169"});
    for (const char* line : {"  0000:00:02.0  class 030000  8086:3e9b  subsystem 1028:0869  driver i915\n",
                             "  1-2  0781:5581  Ultra <USB> 3.0  driver none; interfaces 1-2:1.0=usb-storage\n",
                             "Loaded modules matching the drivers of interest:\ni915 3911680 30 - Live 0x0\n"})
        EXPECT_TRUE(drivers.contains(line)) << line << drivers.toStdString();
    EXPECT_FALSE(drivers.contains("zram") || drivers.contains("1-2:1.0  "));
    EXPECT_EQ(runProcessRaw(builtTool("kernel-drivers"), {"--root", m.path(), "--modules", "nouveau"}, std::nullopt, 30).exitStatus, 1); // as grep
    EXPECT_EQ(run(builtTool("VDADecoderChecker"), {m.path()}),
              "VA-API and VDPAU tools are not installed (vainfo, vdpauinfo); the GPU's identity follows.\n\n"
              "GPU 0000:00:02.0: Intel, PCI ID 8086:3e9b (class 030000, revision 02)\n  Subsystem: 1028:0869\n  Driver: i915\n  Boot display: yes\n");
    for (const char* identifier : {"PLANTEDSERIAL42", "4c4c4544", "PLANTEDBOARD7", "b4:2e:99", "PLANTEDUSB"})
        EXPECT_FALSE((xml + text + drivers).contains(identifier, Qt::CaseInsensitive)) << identifier;

    const QString codecs = run("/bin/bash", {builtTool("ListCodec.command"), "--root", m.path()});
    EXPECT_TRUE(codecs.startsWith("card0 (PCH) codec#0\nCodec: Realtek ALC892\n  Address: 0\n  Vendor Id: 0x10ec0892\n"
                                  "  Subsystem Id: 0x1458a002\n  Revision Id: 0x100302\n\n"
                                  "card0 (PCH) codec#2\nCodec: Intel Kabylake HDMI\n")) << codecs.toStdString();
    EXPECT_TRUE(codecs.contains("\n===== card0 codec#2 full listing =====\n" + readText(testData("dumps/asound/card0/codec#2"))));
    writeFile(m.filePath("proc/asound/card0/codec#0"), "Codec: Broken\n" + QByteArray(600 * 1024, 'x')); // a broken driver's endless listing is cut
    const QString cut = run("/bin/bash", {builtTool("ListCodec.command"), "--root", m.path()});
    EXPECT_TRUE(cut.contains("x\n[listing cut at 524288 bytes]\n\n===== card0 codec#2")) << cut.right(200).toStdString();
    EXPECT_LT(cut.size(), 530 * 1024);
    // The bundled ID database is the PCI ID list: it names the XHCI controllers the USB ID list does not.
    for (const auto& [vendor, device, mentions] : {std::tuple{0x1b73, 0x1100, "Fresco Logic FL1100"}, {0x1033, 0x0194, "NEC Corporation uPD720200"},
                                                   {0x8086, 0xa36d, "Cannon Lake"}, {0x8086, 0x15d4, "Thunderbolt"}, {0x1b21, 0x2142, "ASM2142"}})
        EXPECT_TRUE(usbIDsNameFromFile(builtTool("usb.ids"), vendor, device).contains(mentions)) << mentions;
}

TEST(BundledTools, PowerToolsReportWhatTheMachineHasAndSayWhatIsMissing)
{
    QTemporaryDir m;
    for (const char* policy : {"policy0/", "policy1/"})
        for (const auto& [name, value] : {std::pair{"scaling_driver", "intel_pstate"}, {"scaling_governor", "powersave"},
                                          {"energy_performance_preference", "balance_performance"}, {"cpuinfo_min_freq", "800000"},
                                          {"cpuinfo_max_freq", "4600000"}, {"base_frequency", "3200000"}})
            writeFile(m.filePath("sys/devices/system/cpu/cpufreq/") + policy + name, QByteArray(value) + "\n");
    for (const auto& [name, value] : {std::pair{"no_turbo", "0\n"}, {"status", "active\n"}})
        writeFile(m.filePath("sys/devices/system/cpu/intel_pstate/") + name, value);
    writeFile(m.filePath("proc/cpuinfo"), "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i7-8700\nSerial\t\t: 00000000PLANTED1\n");
    const QString folder = m.filePath("CPU Friend's dump");
    EXPECT_TRUE(run("/bin/bash", {builtTool("CPUFriend-Dump.command"), folder, m.path()}).endsWith("CPUFriend-Dump: done\n"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files, QDir::Name), QStringList({"cpufreq-policies.txt", "cpuidle.txt", "intel_pstate.txt",
                                                                           "processor.txt", "summary.txt", "thermal-power.txt"}));
    EXPECT_EQ(readText(folder + "/summary.txt"), "CPU power-management summary\n\nFrequency policies: 2\nScaling driver: intel_pstate\n"
                                                  "Governors in use: powersave\nAvailable governors: \nEnergy-performance preference: "
                                                  "balance_performance\nHardware frequency range: 800000 - 4600000 kHz (base 3200000 kHz)\n"
                                                  "Turbo: enabled (intel_pstate no_turbo=0)\nintel_pstate status: active\n");
    EXPECT_TRUE(readText(folder + "/processor.txt").contains("i7-8700\n") && !readText(folder + "/processor.txt").contains("PLANTED1"));
    EXPECT_THROW(run("/bin/bash", {builtTool("CPUFriend-Dump.command"), m.filePath("proc/cpuinfo/sub")}), CollectorError); // unwritable

    for (const auto& [name, value] : {std::pair{"power/state", "freeze mem disk\n"}, {"power/mem_sleep", "s2idle [deep]\n"},
                                      {"class/rtc/rtc0/wakealarm", "1796000000\n"}})
        writeFile(m.filePath("sys/") + name, value);
    const QString tool = builtTool("power-settings");
    EXPECT_EQ(run(tool, {"--root", m.path(), "-g", "cap"}),
              "Capabilities for this machine:\n sleep states: freeze mem disk\n suspend modes: s2idle [deep]\n");
    EXPECT_EQ(run(tool, {"--root", m.path(), "-g", "sched"}), "Scheduled wake (rtc0): 2026-11-30 00:53:20 +0000\n");
    // No source of assertions at all is a failure; the USB report's tools never fail for what a machine lacks.
    EXPECT_THROW(run(tool, {"--root", m.path(), "-g", "assertions"}), CollectorError);
    EXPECT_THROW(run(tool, {"--root", m.filePath("missing"), "-g", "cap"}), CollectorError);
    EXPECT_TRUE(run(builtTool("usb-power-settings"), {"--root", m.filePath("missing")}).contains("\nPower sources:\nnone reported\n"));
    EXPECT_EQ(run(builtTool("usb-device-tree"), {"--root", m.path()}),
              "This machine has no USB bus (/sys/bus/usb/devices is missing).\n\nNo USB devices under /sys/bus/usb/devices.\n");
    EXPECT_EQ(run(builtTool("kernel-drivers"), {"--root", m.path()}),
              "PCI devices (address, class, vendor:device, subsystem vendor:device, driver):\n  none listed in sysfs\n\n"
              "USB devices (port, vendor:product, name, driver; interface drivers):\n  none listed in sysfs\n");
    EXPECT_EQ(run("/bin/bash", {builtTool("ListCodec.command"), "--root", m.path()}), "");
}

// patchmatic writes the firmware's tables (SSDT3 as SSDT-3.aml) replacing a link planted under a
// table's name; it refuses other arguments, other users and, as root, a folder others can change.
TEST(BundledTools, PatchmaticWritesEveryFirmwareTableAndNeverThroughALink)
{
    if (::geteuid() != 0 || !QFileInfo::exists("/sys/firmware/acpi/tables/DSDT") || !QFileInfo::exists("/usr/sbin/runuser"))
        GTEST_SKIP() << "needs root, runuser and the firmware tables";
    QTemporaryDir work;
    writeFile(work.filePath("victim"), "untouched");
    QFile::link(work.filePath("victim"), work.filePath("DSDT.aml"));
    EXPECT_EQ(runProcessRaw(builtTool("patchmatic"), {"-extract"}, work.path(), 30).exitStatus, 0);
    EXPECT_EQ(readText(work.filePath("victim")), "untouched");
    const QFileInfoList tables =
        QDir("/sys/firmware/acpi/tables").entryInfoList(QDir::Files) + QDir("/sys/firmware/acpi/tables/dynamic").entryInfoList(QDir::Files);
    EXPECT_EQ(QDir(work.path()).entryList({"*.aml"}, QDir::Files).size(), tables.size());
    for (const QFileInfo& table : tables)
        EXPECT_EQ(readFile(work.filePath(table.fileName().replace(QRegularExpression("^(.{4})(\\d+)$"), "\\1-\\2") + ".aml")),
                  readFile(table.filePath())) << table.fileName().toStdString();
    EXPECT_TRUE(QFile::permissions(work.filePath("DSDT.aml")) & QFileDevice::ReadOther);

    QTemporaryDir tools; // a copy the other user can reach
    ::chmod(QFile::encodeName(tools.path()).constData(), 0755);
    ASSERT_TRUE(QFile::copy(builtTool("patchmatic"), tools.filePath("patchmatic")));
    const struct { QStringList command; int status; const char* says; } cases[] = {
        {{tools.filePath("patchmatic"), "extract"}, 2, "usage: patchmatic -extract\n"},
        {{tools.filePath("patchmatic"), "-extract"}, 1, "only root can change"},
        {{"/usr/sbin/runuser", "-u", "nobody", "--", tools.filePath("patchmatic"), "-extract"}, 1, "administrator rights are needed"},
    };
    for (const auto& c : cases) {
        QTemporaryDir shared;
        ::chmod(QFile::encodeName(shared.path()).constData(), 0777);
        const ProcessOutcome refused = runProcessRaw(c.command.first(), c.command.mid(1), shared.path(), 30);
        EXPECT_EQ(refused.exitStatus, c.status) << c.command.join(' ').toStdString();
        EXPECT_TRUE(refused.output.contains(c.says)) << refused.output.toStdString();
        EXPECT_TRUE(QDir(shared.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    }
}

