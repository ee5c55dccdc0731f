#pragma once

#include "platform/CommandTable.h"

#include <QString>
#include <exception>

namespace velkor {

// The text that stands in a dump file for a command that could not deliver its output:
// "Failure/timeout while running ", the command line, a line feed, the reason and a line feed.
QString commandFailureText(const StockCommand& command, const std::exception& reason);

// Runs the command and writes its masked output to the target file. A command that cannot
// start, fails or runs past the time-out leaves its masked failure text in the file instead,
// and so does a failed write of the output. Throws only when the failure text cannot be written.
void captureCommandOutput(const StockCommand& command, double timeoutSeconds, const QString& target);

} // namespace velkor
