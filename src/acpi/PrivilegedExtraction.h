#pragma once

#include <QString>

namespace velkor {

struct StepContext;

// The ACPI step: patchmatic run once with administrator rights, a direct run as the fallback,
// then the tables the registry holds. Everything the tools print lands in
// "patchmatic-output.txt" of the ACPI folder.

// The pipeline's step. Throws when the setup script cannot be prepared, when the user declines
// the administrator prompt, and when a file of the ACPI folder cannot be written; a run that
// ends with no table writes "ACPI-extraction-failed.txt" and returns normally.
void extractACPIWithValidation(StepContext& context, const QString& patchmatic, const QString& acpiDir);

// Writes the setup script into a private folder, runs it once with administrator rights and
// logs what it printed, masked. The script and its folder are gone when this returns or throws.
void runPrivilegedSetupOnce(StepContext& context, const QString& patchmatic, const QString& acpiDir);

// The setup script's text: seventeen lines, no line feed after the last.
QString privilegedSetupScript(const QString& bundlePath, const QString& patchmatic, const QString& acpiDir);
// "quorvexgen_privileged_setup_" + this process's id + ".sh".
QString privilegedSetupScriptName();

} // namespace velkor
