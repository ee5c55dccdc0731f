#pragma once

#include "base/LogSink.h"
#include "platform/CommandTable.h"

#include <QByteArray>
#include <QString>
#include <exception>

namespace velkor {

// The text that stands in a dump file for a command that could not deliver its output:
// "Failure/timeout while running ", the command line, a line feed, the reason and a line feed.
QString commandFailureText(const StockCommand& command, const std::exception& reason);

// What writeMaskedOutput had to note in the file.
struct OutputNotes {
    bool notUtf8 = false; // invalid UTF-8 was replaced by U+FFFD
    bool cut = false;
};

constexpr qsizetype kDefaultPieceBytes = qsizetype(8) << 20;

// Writes the masked text of a program's output to the target file, atomically, the unmaskable-
// text note when masking fails. Bytes that are not UTF-8 are kept as U+FFFD and an output cut
// at `cutAt` bytes (-1: not cut) is kept; each adds its note line at the end of the file. Holds
// little more than the output's bytes in memory: the text is masked and written in pieces where
// no redaction rule can match across pieces, and whole only where one can (property lists).
// A piece ends at the first place it may after pieceBytes.
OutputNotes writeMaskedOutput(const QString& target, QByteArray output, qsizetype pieceBytes = kDefaultPieceBytes,
                              qsizetype cutAt = -1);

// Runs the command and writes its masked output to the target file. A command that cannot
// start, fails or runs past the time-out leaves its masked failure text in the file instead.
// Throws when the file cannot be written. A cut or not-UTF-8 output gives a WARNING line in the
// log, when one is given.
void captureCommandOutput(const StockCommand& command, double timeoutSeconds, const QString& target, LogSink* log = nullptr);

} // namespace velkor
