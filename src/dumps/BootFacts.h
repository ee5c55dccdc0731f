#pragma once

#include "steps/StepContext.h"

#include <QString>

namespace velkor {

// "FirmwareBoot.txt": how the machine booted, read from the firmware's variables (efivarfs
// below machineRoot, readable without root): UEFI or legacy boot, Secure Boot and setup mode,
// BootCurrent, BootOrder and each Boot#### entry's description and device path. Masked like
// every text file. Throws only when the file cannot be written.
void writeFirmwareBootReport(const QString& machineRoot, const QString& to);

// "KernelWarnings.txt": every warning and error line of this boot's kernel log, bounded in size:
// as the user reads it when the log is open to the user, else as the administrator step read
// it, else a note saying that neither could. Throws only when the file cannot be written.
void writeKernelWarningsReport(StepContext& ctx, const QString& to);

} // namespace velkor
