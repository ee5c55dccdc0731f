#pragma once

#include "platform/CommandTable.h"

#include <QByteArray>
#include <QString>
#include <exception>

namespace velkor {

// The text that stands in a dump file for a command that could not deliver its output:
// "Failure/timeout while running ", the command line, a line feed, the reason and a line feed.
QString commandFailureText(const StockCommand& command, const std::exception& reason);

// Writes the masked text of a program's output to the target file, atomically: the empty text
// when the output is not UTF-8, the unmaskable-text note when masking fails. Holds little more
// than the output's bytes in memory: the text is masked and written in pieces where no
// redaction rule can match across pieces, and whole only where one can (property lists).
// A piece ends at the first place it may after pieceBytes.
void writeMaskedOutput(const QString& target, QByteArray output, qsizetype pieceBytes = 8 << 20);

// Runs the command and writes its masked output to the target file. A command that cannot
// start, fails or runs past the time-out leaves its masked failure text in the file instead,
// and so does a failed write of the output. Throws only when the failure text cannot be written.
void captureCommandOutput(const StockCommand& command, double timeoutSeconds, const QString& target);

} // namespace velkor
