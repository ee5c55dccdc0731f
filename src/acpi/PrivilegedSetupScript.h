#pragma once

#include "platform/CommandTable.h"

#include <QString>
#include <QStringList>

namespace velkor {

struct Platform;

// What the administrator step asks root for, in its one prompt.
struct PrivilegedRequest {
    QString patchmatic;      // run with "-extract" in root's own folder
    QString machineRoot;     // DMI and the xHCI debug files are read below it; "/" on the machine
    QStringList efiRoots;    // the candidate EFI roots, in order
    StockCommand bootLog;    // the boot-log dump's command, run as root
    StockCommand kernelWarnings; // the kernel warnings command, run as root (same bounds)
};

PrivilegedRequest privilegedRequestFor(const Platform& platform, const QString& patchmatic);

// How much root hands over of each thing, and how long each may take.
namespace privileged {
constexpr qsizetype kTableBytes = 16 * 1024 * 1024;
constexpr qsizetype kAllTablesBytes = 64 * 1024 * 1024;
constexpr qsizetype kOutputBytes = 1024 * 1024;      // patchmatic-output.txt
constexpr qsizetype kBootLogBytes = 1024 * 1024;
constexpr qsizetype kEfiConfigBytes = 4 * 1024 * 1024;
constexpr qsizetype kProtocolBytes = 4096;           // one xHCI capability file
constexpr qsizetype kIdentifierBytes = 256;          // one DMI value
constexpr qsizetype kLogBytes = 64 * 1024;
constexpr int kMostProtocolFiles = 256;
// Everything together, with room for the record headers.
constexpr qsizetype kHandoverBytes = kAllTablesBytes + kOutputBytes + 2 * kBootLogBytes + 2 * kEfiConfigBytes
    + kMostProtocolFiles * kProtocolBytes + 4 * kIdentifierBytes + kLogBytes + 1024 * 1024;

constexpr int kPatchmaticSeconds = 35;
constexpr int kBootLogSeconds = 18;
constexpr int kFileSeconds = 10;
constexpr int kSmallFileSeconds = 5;
// The whole run once root's script started: the items' own time-outs and a margin.
constexpr double kRunSeconds = 180;
} // namespace privileged

// The setup script root runs: a prologue with the request's paths and the limits as shell
// variables, then the fixed body. It works only in a folder of root's own (0700, in /run or
// /root), never in a folder another user can write, and hands everything back on its standard
// output as records (see PrivilegedHandover.h). It ends when the program that started it is gone.
QString privilegedSetupScript(const PrivilegedRequest& request);

} // namespace velkor
