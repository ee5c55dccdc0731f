#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include "base/AppBundle.h"

namespace velkor {

// The expert companion: from a registry saved as `ioreg -l` text, writes what the program's
// steps write from a live registry — the port-map kext and its report, the controller summary,
// "ioreg.txt" and the ACPI tables the registry carries — with the same code, and cleans them as
// the program cleans its package: the masking rules, then the privacy audit with the saved Mac's
// own identifiers (which also takes the Windows product key out of an MSDM table).
//
// Returns the process exit status: 0 on success, 1 when the input or the output folder fails,
// 2 for a wrong command line. Prints one line per file written (and per product key removed)
// to `out`, errors and files left out to `err`. Controller names come from the ID database in
// the bundle's tools, as in the program.
int runRegistryCompanion(const QStringList& arguments, const AppBundle& bundle, QTextStream& out, QTextStream& err);

QString registryCompanionUsage();

} // namespace velkor
