#pragma once

#include "platform/AppBundle.h"
#include "platform/CommandTable.h"

#include <QString>

namespace velkor {

// Fills the command table's dump and report commands with the Linux commands that show the
// same facts: /sys/power, /proc/cmdline, /proc/version, os-release, /proc/cpuinfo, the
// journal, loaded modules, and the bundled "system-profiler" and "power-settings" tools.
void addLinuxDumpCommands(CommandTable& table, const AppBundle& bundle);

} // namespace velkor
