#pragma once

#include "acpi/PrivilegedSetupScript.h"
#include "platform/PrivilegedFacts.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

namespace velkor {

// What root handed back on its standard output, read as records:
//
//   VELKOR-PRIVILEGED 1\n
//   <kind> <size> <name>\n<size bytes>\n        repeated
//   END\n
//
// Kinds and the names they accept:
//   log        -                       text for the run log
//   output     patchmatic-output.txt   the privileged run's part of that file
//   table      DSDT.aml, SSDT-1.aml…   an ACPI table: letters, digits, "!", "_", "-", "." only
//   bootlog    -                       the boot-log command's output
//   efi-root   one of the requested EFI roots (size 0)
//   efi        <that root>/CLOVER/config.plist or <that root>/OC/config.plist
//   xhci       <PCI address>/reg-ext-protocol:<hex>
//   dmi        product_serial, board_serial, chassis_serial or product_uuid
//
// Each kind has its size limit (privileged::k*Bytes) and may not repeat a name. Reading stops
// at the first record that breaks a rule; what came before it is kept.
struct PrivilegedHandover {
    bool started = false;  // the first line was there
    bool complete = false; // "END" was reached
    QString problem;       // what was wrong with the output, or empty
    QString log;
    std::optional<QByteArray> patchmaticOutput;
    std::vector<std::pair<QString, QByteArray>> tables;
    PrivilegedFacts facts;
};

PrivilegedHandover parsePrivilegedHandover(const QByteArray& output, const PrivilegedRequest& request);

} // namespace velkor
