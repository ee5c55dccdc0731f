#pragma once

#include <QString>

namespace velkor {

struct StepContext;

// The ACPI step: patchmatic run once with administrator rights, a direct run as the fallback,
// then the tables the registry holds. Everything the tools print lands in
// "patchmatic-output.txt" of the ACPI folder.
//
// The same administrator run gathers what only root can read for the later steps: the boot
// log, the configurations of an EFI partition only root may read, the xHCI port ranges and the
// firmware serial numbers and UUID (for the privacy audit only). Root writes nothing the user
// can reach; it hands everything back on its standard output, and this step writes the ACPI
// folder's files with the user's own rights and publishes the rest to the platform's store.

// The pipeline's step. Throws when the setup script cannot be prepared, when the user declines
// the administrator prompt, and when a file of the ACPI folder cannot be written; a run that
// ends with no table writes "ACPI-extraction-failed.txt" and returns normally. When no prompt
// can be shown at all, it logs a warning and goes on with the direct run.
void extractACPIWithValidation(StepContext& context, const QString& patchmatic, const QString& acpiDir);

enum class PrivilegedRun {
    Ran,        // the script ran as root (whatever it found)
    NotPossible // no prompt could be shown; nothing ran as root
};

// Writes the setup script into a private folder, runs it once with administrator rights, logs
// what it printed for the log, masked, and hands over what it gathered. The script and its
// folder are gone when this returns or throws.
PrivilegedRun runPrivilegedSetupOnce(StepContext& context, const QString& patchmatic, const QString& acpiDir);

// "quorvexgen_privileged_setup_" + this process's id + ".sh".
QString privilegedSetupScriptName();

} // namespace velkor
