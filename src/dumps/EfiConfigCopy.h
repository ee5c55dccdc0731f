#pragma once

#include "steps/StepContext.h"

#include <QString>
#include <QStringList>

namespace velkor {

// Copies CLOVER/config.plist and OC/config.plist of the first candidate root that exists into
// `to` as "CLOVER-config.plist" and "OC-config.plist", each masked in place. Never mounts
// anything and never asks for a password. A partition only root may read (Debian mounts it
// 0700) is seen through what the administrator step handed over: the root it found and the
// configurations it read there. A configuration missing there is then looked for at the root of
// every file system mounted from a block device (the mount table below the platform's machine
// root), each volume through a probe bounded to a few seconds; the log names the volume it came
// from, and one that is a link, a pipe, a device or too large is refused with a log line. Throws
// when a copy from the candidate root or a masking write fails.
void copyAndSanitizeMountedEFIOnly(StepContext& ctx, const QString& to, const QStringList& candidateRoots);

} // namespace velkor
