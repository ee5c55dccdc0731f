#pragma once

#include "steps/StepContext.h"

#include <QByteArray>
#include <QString>

namespace velkor {

// "FirmwareBoot.txt": how the machine booted, read from the firmware's variables (efivarfs
// below machineRoot, readable without root): UEFI or legacy boot, Secure Boot and setup mode,
// BootCurrent, BootOrder and each Boot#### entry's description and device path. Masked like
// every text file. Throws only when the file cannot be written.
void writeFirmwareBootReport(const QString& machineRoot, const QString& to);

// One EFI_LOAD_OPTION (the value of a Boot#### variable, without its attribute word) as
// "description | device path"; the device path in the firmware's text form where the node type
// is known, as the node's type, subtype and bytes otherwise.
QString describeLoadOption(const QByteArray& option);

// "KernelWarnings.txt": every warning and error line of this boot's kernel log, bounded in size:
// as the user reads it when the log is open to the user, else as the administrator step read
// it, else a note saying that neither could. Throws only when the file cannot be written.
void writeKernelWarningsReport(StepContext& ctx, const QString& to);

} // namespace velkor
