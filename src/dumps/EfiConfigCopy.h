#pragma once

#include "steps/StepContext.h"

#include <QString>
#include <QStringList>

namespace velkor {

// Where an already-mounted EFI system partition shows its "EFI" folder, in the order they are
// tried: the macOS mount points first, then the places Linux mounts the partition.
QStringList defaultEFIRoots();

// Copies CLOVER/config.plist and OC/config.plist of the first candidate root that exists into
// `to` as "CLOVER-config.plist" and "OC-config.plist", each masked in place. Never mounts
// anything and never asks for a password. Throws when a copy or its masking write fails.
void copyAndSanitizeMountedEFIOnly(StepContext& ctx, const QString& to, const QStringList& candidateRoots);

} // namespace velkor
