#include "kext/LinuxUsbReportCommands.h"

namespace velkor {
namespace {

const QString kShell = QStringLiteral("/bin/sh");

// Every script reads what is there, says what is not, and ends with status 0, so that only a
// shell that cannot run at all turns into failure text.
const char* const kPowerSettingsScript = R"SH(show() {
  if [ -r "$1" ]; then printf '%s: %s\n' "$1" "$(/bin/cat "$1" 2>/dev/null)"; else printf '%s: not available\n' "$1"; fi
}
echo "System sleep states:"
for f in /sys/power/state /sys/power/mem_sleep /sys/power/disk /sys/power/pm_async; do show "$f"; done
echo
echo "USB autosuspend default (seconds, -1 = off):"
show /sys/module/usbcore/parameters/autosuspend
echo
echo "Power sources:"
found=0
for d in /sys/class/power_supply/*; do
  [ -r "$d/type" ] || continue
  found=1
  printf '%s: type=%s online=%s status=%s\n' "${d##*/}" "$(/bin/cat "$d/type" 2>/dev/null)" \
    "$(/bin/cat "$d/online" 2>/dev/null)" "$(/bin/cat "$d/status" 2>/dev/null)"
done
[ "$found" = 1 ] || echo "none reported"
exit 0)SH";

const char* const kDeviceTreeScript = R"SH(if [ ! -d /sys/bus/usb/devices ]; then
  echo "This machine has no USB bus (/sys/bus/usb/devices is missing)."
elif [ -x /usr/bin/lsusb ]; then
  /usr/bin/lsusb -t 2>&1
else
  echo "lsusb is not installed; the devices below come from /sys/bus/usb/devices."
fi
echo
attr() { /bin/cat "$d/$1" 2>/dev/null; }
found=0
for d in /sys/bus/usb/devices/*; do
  [ -r "$d/idVendor" ] || continue
  found=1
  printf '%s: %s:%s %s %s\n' "${d##*/}" "$(attr idVendor)" "$(attr idProduct)" "$(attr manufacturer)" "$(attr product)"
  printf '  speed=%s Mbit/s maxpower=%s power/control=%s runtime_status=%s autosuspend_delay_ms=%s wakeup=%s\n' \
    "$(attr speed)" "$(attr bMaxPower)" "$(attr power/control)" "$(attr power/runtime_status)" \
    "$(attr power/autosuspend_delay_ms)" "$(attr power/wakeup)"
done
[ "$found" = 1 ] || echo "No USB devices under /sys/bus/usb/devices."
exit 0)SH";

} // namespace

void addLinuxUsbReportCommands(CommandTable& table, const AppBundle& bundle)
{
    Q_UNUSED(bundle); // every command is a system tool; none ships in the bundle
    table.usbPowerSettings = {kShell, {QStringLiteral("-c"), QString::fromUtf8(kPowerSettingsScript)}};
    table.usbPowerAssertions = {QStringLiteral("/usr/bin/systemd-inhibit"),
                                {QStringLiteral("--list"), QStringLiteral("--no-pager")}};
    table.usbDeviceTree = {kShell, {QStringLiteral("-c"), QString::fromUtf8(kDeviceTreeScript)}};
}

} // namespace velkor
