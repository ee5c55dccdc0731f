#pragma once

#include "steps/StepContext.h"

#include <QString>

namespace velkor {

// Runs the bundled CPUFriend-Dump.command into work/"CPUFriend-Dump" (emptied first), keeps
// its output as "CPUFriend-Dump-run.log" and masks the folder. A missing, failing or
// timed-out script is noted in the folder and logged as a warning; only file errors throw.
void collectCPUFriendDump(StepContext& ctx, const QString& work);

// The same with the script's time-out given, so the time-out path can be exercised quickly.
void collectCPUFriendDumpWithTimeout(StepContext& ctx, const QString& work, double scriptTimeoutSeconds);

} // namespace velkor
