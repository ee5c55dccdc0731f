#pragma once

#include "platform/Platform.h"

namespace velkor {

// The platform of the running Linux machine, for a program whose executable is in
// executableDirectory: the registry from sysfs, polkit for administrator rights, the Linux
// command table, libplist, libzip and the freedesktop desktop services. `startNote` is what
// settleStartingUser() said, shown with the Desktop.
Platform makeLinuxPlatform(const QString& executableDirectory, const QString& startNote = {});

} // namespace velkor
