#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace velkor {

// Runs a program by absolute path with standard output and standard error merged into one
// stream, and returns that output decoded as UTF-8 (empty when it is not valid UTF-8).
//
// Throws CollectorError::operationFailed with "Command failed: ..." for a non-zero exit
// status, "Timeout after Ns: ..." when the time-out passes, and PlatformError when the program
// cannot be started. A timed-out program is ended with its whole process group: terminate,
// a grace of 2 s, then kill. Output that a leftover grandchild keeps the pipe open for is
// read for a short while and then left; no call waits for it.
QString runProcess(const QString& executable, const QStringList& arguments,
                   const std::optional<QString>& currentDirectory, double timeoutSeconds);

// As runProcess without a working directory, but never throws: on any failure it returns
// "Failure/timeout while running " followed by the command line.
QString runProcessCapturing(const QString& executable, const QStringList& arguments, double timeoutSeconds);

// The raw outcome of one run, for callers that need the bytes.
struct ProcessOutcome {
    QByteArray output;
    int exitStatus = -1;  // the exit code, or -1 when ended by a signal
    bool timedOut = false;
};
ProcessOutcome runProcessRaw(const QString& executable, const QStringList& arguments,
                             const std::optional<QString>& currentDirectory, double timeoutSeconds);

// "Failure/timeout while running " + the command line, the text that stands in for a failed tool's output.
QString failureText(const QString& executable, const QStringList& arguments);

} // namespace velkor
