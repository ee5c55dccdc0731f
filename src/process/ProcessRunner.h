#pragma once

#include <spawn.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <optional>

namespace velkor {

// The spawn attributes every tool starts with: it leads a process group of its own, so that
// ending the group ends everything it started, with no signal blocked and every signal at its
// default action whatever this program set for itself.
class ToolSpawnAttributes {
public:
    ToolSpawnAttributes();
    ~ToolSpawnAttributes();
    ToolSpawnAttributes(const ToolSpawnAttributes&) = delete;
    ToolSpawnAttributes& operator=(const ToolSpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes;
};

// Runs a program by absolute path with standard output and standard error merged into one
// stream, and returns that output as text (see outputText). When the program ends, whatever
// else is left in its process group is ended with it.
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

// How much of one program's output is kept: far above any real listing (a full registry
// listing is a few MB), low enough that a runaway tool cannot take the machine's memory or
// fill the archive.
constexpr qsizetype kCapturedOutputLimit = qsizetype(64) << 20;

// The raw outcome of one run, for callers that need the bytes.
struct ProcessOutcome {
    QByteArray output;
    int exitStatus = -1;  // the exit code, or -1 when ended by a signal
    bool timedOut = false;
    bool abandoned = false; // ended because the thread's run was abandoned
    // The output reached the limit: the program was stopped (its exit status reads 0) and
    // output holds the first `limit` bytes.
    bool cut = false;
};
ProcessOutcome runProcessRaw(const QString& executable, const QStringList& arguments,
                             const std::optional<QString>& currentDirectory, double timeoutSeconds,
                             qsizetype outputLimit = kCapturedOutputLimit);

// The line that ends a cut output: where it was cut and why.
QString outputCutNote(qsizetype limit);

// The output decoded as UTF-8 with every invalid sequence replaced by U+FFFD, and a note line
// for a cut output and for replaced bytes.
QString outputText(const ProcessOutcome& outcome);

// Throws what runProcess throws for an outcome that is not a finished run with exit status 0.
void throwIfFailed(const ProcessOutcome& outcome, const QString& executable, const QStringList& arguments,
                   double timeoutSeconds);

// While alive, processes run from this thread are ended (as on a time-out) as soon as the flag
// is set, and new ones are not started: the call then throws PlatformError. A collection run
// uses it so that quitting the program ends the run's tools instead of waiting for them.
class ProcessAbandonScope {
public:
    explicit ProcessAbandonScope(const std::atomic<bool>& abandoned);
    ~ProcessAbandonScope();
    ProcessAbandonScope(const ProcessAbandonScope&) = delete;
    ProcessAbandonScope& operator=(const ProcessAbandonScope&) = delete;

private:
    const std::atomic<bool>* m_previous;
};

// Whether the calling thread's run was abandoned, for waits of its own that must end likewise.
bool processRunAbandoned();

// "Failure/timeout while running " + the command line, the text that stands in for a failed tool's output.
QString failureText(const QString& executable, const QStringList& arguments);

} // namespace velkor
