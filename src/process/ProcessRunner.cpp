#include "process/ProcessRunner.h"

#include "base/CollectorError.h"
#include "files/TextDecoding.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace velkor {

ToolSpawnAttributes::ToolSpawnAttributes()
{
    posix_spawnattr_init(&m_attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigfillset(&defaultSignals);
    posix_spawnattr_setsigmask(&m_attributes, &noSignals);
    posix_spawnattr_setsigdefault(&m_attributes, &defaultSignals);
    posix_spawnattr_setpgroup(&m_attributes, 0);
    posix_spawnattr_setflags(&m_attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

ToolSpawnAttributes::~ToolSpawnAttributes()
{
    posix_spawnattr_destroy(&m_attributes);
}
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kTerminationGrace = std::chrono::seconds(2);
// How long output is still collected after the program ended, for a pipe a grandchild holds.
constexpr auto kLeftoverDrain = milliseconds(200);
constexpr auto kExitPollInterval = milliseconds(50);
constexpr qsizetype kReadChunk = 1 << 20;

QString commandLine(const QString& executable, const QStringList& arguments)
{
    return executable + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
}


class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// Owns a started child: whatever path leaves the run, the child's group is ended and the
// child is reaped, so no zombie and no runaway group stays behind. A child that ended by
// itself has its group ended too: what it started and left running (a sleeper, a daemon)
// would otherwise outlive the run and Velkor. The group is signalled while the child is still
// an unreaped zombie, so its number cannot have been taken by another process.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : m_pid(pid) {}
    ~ChildGuard()
    {
        if (!m_reaped) {
            ::kill(-m_pid, SIGKILL);
            waitBlocking();
        }
    }
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;

    bool reaped() const { return m_reaped; }
    int status() const { return m_status; }
    pid_t pid() const { return m_pid; }

    bool poll()
    {
        if (!m_reaped)
            waitFor(WNOHANG);
        return m_reaped;
    }

    void waitBlocking()
    {
        while (!m_reaped)
            waitFor(0);
    }

private:
    void waitFor(int flags)
    {
        siginfo_t info {};
        if (::waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOWAIT | flags) != 0) {
            if (errno != EINTR)
                m_reaped = true; // not ours to wait for (any more): nothing left to reap
            return;
        }
        if (info.si_pid != m_pid)
            return;
        ::kill(-m_pid, SIGKILL);
        int status = -1;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_status = status;
        m_reaped = true;
    }

    pid_t m_pid;
    bool m_reaped = false;
    int m_status = -1;
};

// The output as it arrives, read straight from the pipe into the buffer. Fresh memory costs a
// page fault for every 4 KiB page the copy first touches, which for an output of many megabytes
// takes longer than the copy itself. So once an output outgrows a few megabytes the buffer
// reserves the whole limit at once (address space only: pages never touched cost nothing, and
// no reallocation copies the output again), asks for huge pages, which are faulted and cleared
// 2 MiB at a time, and maps the stretch ahead of the reads in one call (a no-op on kernels before
// 5.14). The buffer holds at most `limit` bytes and never reserves more than that; what the
// reservation leaves unused is given back when the capture ends.
class CaptureBuffer {
public:
    CaptureBuffer(QByteArray& bytes, qsizetype limit) : m_bytes(bytes), m_limit(std::max<qsizetype>(limit, 0)) {}
    ~CaptureBuffer()
    {
        if (m_bytes.capacity() - m_bytes.size() > kWholeLimitFrom)
            m_bytes.squeeze();
    }

    bool full() const { return m_bytes.size() >= m_limit; }

    // One read(2) into the buffer; its result. Not called on a full buffer.
    ssize_t readFrom(int fd)
    {
        const qsizetype chunk = std::min(kReadChunk, m_limit - m_bytes.size());
        if (m_bytes.capacity() - m_bytes.size() < chunk)
            grow();
        const qsizetype before = m_bytes.size();
        mapAhead(before + chunk);
        m_bytes.resize(before + chunk); // within the capacity: no copy, no initialisation
        const ssize_t count = ::read(fd, m_bytes.data() + before, size_t(chunk));
        m_bytes.resize(before + std::max<qsizetype>(count, 0));
        return count;
    }

private:
    static constexpr qsizetype kPage = 4096;
    static constexpr qsizetype kHugePage = 2 << 20;
    static constexpr qsizetype kMapAhead = 8 << 20;
    static constexpr qsizetype kWholeLimitFrom = 4 << 20;

    static quintptr alignDown(quintptr value, qsizetype to) { return value & ~quintptr(to - 1); }

    void grow()
    {
        const qsizetype doubled = std::max(m_bytes.size() * 2, m_bytes.size() + kReadChunk);
        const bool whole = doubled > kWholeLimitFrom;
        m_bytes.reserve(std::min(m_limit, whole ? m_limit : doubled));
        // A reallocation that copied the block left the copy's fresh pages unmapped.
        m_mapped = m_bytes.size();
        if (whole) {
            const quintptr start = alignDown(quintptr(m_bytes.constData()) + kHugePage - 1, kHugePage);
            const quintptr end = alignDown(quintptr(m_bytes.constData() + m_bytes.capacity()), kHugePage);
            if (end > start)
                ::madvise(reinterpret_cast<void*>(start), size_t(end - start), MADV_HUGEPAGE);
        }
    }

    // Maps the pages up to a stretch past `needed` (bytes from the start of the output).
    void mapAhead(qsizetype needed)
    {
        if (needed <= m_mapped)
            return;
        const qsizetype target = std::min(m_bytes.capacity(), needed + kMapAhead);
        const quintptr start = alignDown(quintptr(m_bytes.constData() + std::max(m_mapped, m_bytes.size())), kPage);
        const quintptr end = alignDown(quintptr(m_bytes.constData() + target), kPage);
        if (end > start)
            ::madvise(reinterpret_cast<void*>(start), size_t(end - start), MADV_POPULATE_WRITE);
        m_mapped = target;
    }

    QByteArray& m_bytes;
    qsizetype m_limit;
    qsizetype m_mapped = 0;
};

// Reads what is available now into the buffer, at most a bounded amount per call so that a
// writer that never pauses cannot keep the caller from its deadline, and nothing once the buffer
// is full. Returns false at end of file.
bool readAvailable(int fd, CaptureBuffer& buffer)
{
    constexpr qsizetype kMostPerCall = 16 * kReadChunk;
    qsizetype taken = 0;
    for (;;) {
        if (taken >= kMostPerCall || buffer.full())
            return true;
        const ssize_t count = buffer.readFrom(fd);
        if (count > 0) {
            taken += count;
            continue;
        }
        if (count == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Waits for output until the deadline; true when the pipe is still open.
bool pumpUntil(int fd, bool& open, CaptureBuffer& buffer, Clock::time_point deadline)
{
    const auto now = Clock::now();
    if (!open || now >= deadline)
        return open;
    if (buffer.full()) {
        // What stays in the pipe is not wanted; only the wait counts.
        std::this_thread::sleep_until(std::min(deadline, now + milliseconds(10)));
        return open;
    }
    const auto wait = std::chrono::duration_cast<milliseconds>(deadline - now).count();
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, int(std::max<long long>(wait, 1)));
    if (ready > 0)
        open = readAvailable(fd, buffer);
    return open;
}

Clock::time_point deadlineAfter(double seconds)
{
    // Time-outs beyond a day are treated as a day; the callers pass literal values far below.
    const double bounded = std::isfinite(seconds) ? std::clamp(seconds, 0.0, 86400.0) : 86400.0;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

thread_local const std::atomic<bool>* t_abandoned = nullptr;

bool runAbandoned()
{
    return t_abandoned && t_abandoned->load();
}

[[noreturn]] void throwAbandoned(const QString& executable)
{
    throw PlatformError(QStringLiteral("“%1” was stopped because Velkor is quitting.").arg(executable));
}

QString wholeSeconds(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 9.2e18)
        return QString::number(seconds);
    return QString::number(static_cast<qint64>(seconds));
}

} // namespace

ProcessAbandonScope::ProcessAbandonScope(const std::atomic<bool>& abandoned) : m_previous(t_abandoned)
{
    t_abandoned = &abandoned;
}

ProcessAbandonScope::~ProcessAbandonScope()
{
    t_abandoned = m_previous;
}

bool processRunAbandoned()
{
    return runAbandoned();
}

QString failureText(const QString& executable, const QStringList& arguments)
{
    return QStringLiteral("Failure/timeout while running ") + commandLine(executable, arguments);
}

QString outputCutNote(qsizetype limit)
{
    return QStringLiteral("[Velkor] Output cut here, after %1 bytes: the tool wrote more than Velkor keeps of one tool's output, and was stopped.")
        .arg(limit);
}

ProcessOutcome runProcessRaw(const QString& executable, const QStringList& arguments,
                             const std::optional<QString>& currentDirectory, double timeoutSeconds, qsizetype outputLimit)
{
    if (runAbandoned())
        throwAbandoned(executable);
    const auto deadline = deadlineAfter(timeoutSeconds);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw PlatformError(QStringLiteral("Could not launch “%1”: %2").arg(executable, QString::fromLocal8Bit(std::strerror(errno))));
    FileDescriptor readEnd(pipeFds[0]);
    FileDescriptor writeEnd(pipeFds[1]);
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, 1 << 20); // larger pipe: fewer wake-ups for chatty tools

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    const QByteArray directory = currentDirectory ? QFile::encodeName(*currentDirectory) : QByteArray();
    if (currentDirectory)
        posix_spawn_file_actions_addchdir_np(&actions, directory.constData());

    // The child leads a process group of its own, so a time-out can end everything it started.
    const ToolSpawnAttributes attributes;

    const QByteArray program = QFile::encodeName(executable);
    std::vector<QByteArray> encodedArguments;
    encodedArguments.reserve(size_t(arguments.size()) + 1);
    encodedArguments.push_back(program);
    for (const QString& argument : arguments)
        encodedArguments.push_back(argument.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& argument : encodedArguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawnError = ::posix_spawn(&pid, program.constData(), &actions, attributes.get(), argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0)
        throw PlatformError(QStringLiteral("Could not launch “%1”: %2").arg(executable, QString::fromLocal8Bit(std::strerror(spawnError))));

    ChildGuard child(pid);
    writeEnd.reset();
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);

    ProcessOutcome outcome;
    CaptureBuffer output(outcome.output, outputLimit);
    bool open = true;
    auto nextExitCheck = Clock::now();
    while (!child.reaped()) {
        if (Clock::now() >= deadline || runAbandoned()) {
            outcome.timedOut = true;
            outcome.abandoned = runAbandoned();
            break;
        }
        if (output.full()) {
            outcome.cut = true;
            break;
        }
        if (open) {
            pumpUntil(readEnd.get(), open, output, std::min(deadline, Clock::now() + kExitPollInterval));
        } else {
            ::usleep(10000);
        }
        if (!open || Clock::now() >= nextExitCheck) {
            child.poll();
            nextExitCheck = Clock::now() + kExitPollInterval;
        }
    }

    if (outcome.timedOut || outcome.cut) {
        ::kill(-pid, SIGTERM);
        const auto graceEnd = Clock::now() + kTerminationGrace;
        while (!child.poll() && Clock::now() < graceEnd) {
            if (open)
                pumpUntil(readEnd.get(), open, output, std::min(graceEnd, Clock::now() + milliseconds(20)));
            else
                ::usleep(20000);
        }
        if (!child.reaped())
            ::kill(-pid, SIGKILL);
        child.waitBlocking();
        if (outcome.cut)
            outcome.exitStatus = 0; // stopped by Velkor: what was kept is the tool's output
        return outcome;
    }

    // The program has ended. What is still in the pipe is collected; a pipe that a leftover
    // grandchild keeps open is read for a short while only.
    const auto drainEnd = Clock::now() + kLeftoverDrain;
    outcome.cut = output.full();
    if (open)
        open = readAvailable(readEnd.get(), output);
    while (open && Clock::now() < drainEnd)
        pumpUntil(readEnd.get(), open, output, drainEnd);

    const int status = child.status();
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

QString outputText(const ProcessOutcome& outcome)
{
    bool replaced = false;
    QString text = decodeUtf8Lossily(outcome.output, replaced);
    if (outcome.cut)
        text += QLatin1Char('\n') + outputCutNote(outcome.output.size()) + QLatin1Char('\n');
    if (replaced)
        text += kNotUtf8Note + QLatin1Char('\n');
    return text;
}

void throwIfFailed(const ProcessOutcome& outcome, const QString& executable, const QStringList& arguments,
                   double timeoutSeconds)
{
    if (outcome.abandoned)
        throwAbandoned(executable);
    if (outcome.timedOut)
        throw CollectorError::operationFailed(QStringLiteral("Timeout after ") + wholeSeconds(timeoutSeconds) + QStringLiteral("s: ")
                                              + commandLine(executable, arguments) + QLatin1Char('\n')
                                              + outputText(outcome));
    if (outcome.exitStatus != 0)
        throw CollectorError::operationFailed(QStringLiteral("Command failed: ") + commandLine(executable, arguments)
                                              + QLatin1Char('\n') + outputText(outcome));
}

QString runProcess(const QString& executable, const QStringList& arguments,
                   const std::optional<QString>& currentDirectory, double timeoutSeconds)
{
    const ProcessOutcome outcome = runProcessRaw(executable, arguments, currentDirectory, timeoutSeconds);
    throwIfFailed(outcome, executable, arguments, timeoutSeconds);
    return outputText(outcome);
}

QString runProcessCapturing(const QString& executable, const QStringList& arguments, double timeoutSeconds)
{
    try {
        return runProcess(executable, arguments, std::nullopt, timeoutSeconds);
    } catch (const std::exception&) {
        return failureText(executable, arguments);
    }
}

} // namespace velkor
