#pragma once

#include "platform/AppBundle.h"
#include "platform/CommandTable.h"

namespace velkor {

// Fills the USB power report's commands with the Linux tools that show the same facts: the
// sleep and USB power settings, what holds the machine awake, and the USB device tree with
// each device's power state.
void addLinuxUsbReportCommands(CommandTable& table, const AppBundle& bundle);

} // namespace velkor
