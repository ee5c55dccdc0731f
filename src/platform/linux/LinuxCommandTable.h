#pragma once

#include "base/AppBundle.h"
#include "platform/CommandTable.h"

namespace velkor {

// The Linux commands that show the facts the dumps and reports were designed to take from the
// macOS tools: /sys/power, /proc/cmdline, /proc/version, os-release, /proc/cpuinfo, the
// journal, loaded modules, the USB device tree, and the bundled "ioreg", "system-profiler",
// "power-settings", "usb-power-settings" and "usb-device-tree" tools.
CommandTable linuxCommandTable(const AppBundle& bundle);

} // namespace velkor
