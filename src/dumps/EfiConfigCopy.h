#pragma once

#include "steps/StepContext.h"

#include <QString>
#include <QStringList>

namespace velkor {

// Copies CLOVER/config.plist and OC/config.plist of the first candidate root that exists into
// `to` as "CLOVER-config.plist" and "OC-config.plist", each masked in place. Never mounts
// anything and never asks for a password. A partition only root may read (Debian mounts it
// 0700) is seen through what the administrator step handed over: the root it found and the
// configurations it read there. Throws when a copy or its masking write fails.
void copyAndSanitizeMountedEFIOnly(StepContext& ctx, const QString& to, const QStringList& candidateRoots);

} // namespace velkor
