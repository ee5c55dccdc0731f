#include "platform/linux/LinuxAdministratorRunner.h"

#include "base/CollectorError.h"
#include "process/ProcessRunner.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace velkor {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const QString kBash = QStringLiteral("/bin/bash");

// pkexec's own failures: the user dismissed the prompt or is not authorized (126); no
// authentication could take place at all, as without an agent (127).
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotAuthenticate = 127;

constexpr qsizetype kMostErrorBytes = 64 * 1024;
constexpr int kMostDetailCharacters = 400;
constexpr auto kTerminationGrace = milliseconds(1000);
constexpr auto kKillGrace = milliseconds(300);
// Output still in the pipes once the script ended; a leftover process holding them is not waited for.
constexpr auto kLeftoverDrain = milliseconds(200);
constexpr auto kPollInterval = milliseconds(50);

// pkexec's message on one line, short enough for a log line.
QString details(const QByteArray& standardError)
{
    QStringList lines;
    for (const QString& line : QString::fromUtf8(standardError).split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            lines.append(line.trimmed());
    }
    QString text = lines.join(QStringLiteral("; "));
    if (text.size() > kMostDetailCharacters)
        text = text.left(kMostDetailCharacters) + QStringLiteral("…");
    return text;
}

QString withDetails(const QString& message, const QByteArray& standardError)
{
    const QString text = details(standardError);
    return text.isEmpty() ? message : message + QStringLiteral(": ") + text;
}

bool hasControllingTerminal()
{
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

class Pipe {
public:
    Pipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw PlatformError(QStringLiteral("Could not create a pipe: %1").arg(systemReason(errno)));
        readEnd = fds[0];
        writeEnd = fds[1];
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeRead()
    {
        if (readEnd >= 0)
            ::close(readEnd);
        readEnd = -1;
    }
    void closeWrite()
    {
        if (writeEnd >= 0)
            ::close(writeEnd);
        writeEnd = -1;
    }
    int readEnd = -1;
    int writeEnd = -1;
};

// Reads what the pipe has now, keeping at most `room` more bytes; false at end of file.
bool drain(int fd, QByteArray& into, qsizetype room, bool& overflowed)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            const qsizetype keep = std::min<qsizetype>(count, std::max<qsizetype>(room - into.size(), 0));
            into.append(buffer, keep);
            if (keep < count)
                overflowed = true;
            continue;
        }
        if (count == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// The started run: pkexec (or bash) as the leader of a process group of its own.
class AdministratorChild {
public:
    AdministratorChild(const QStringList& command, Pipe& output, Pipe& errors)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, output.writeEnd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errors.writeEnd, STDERR_FILENO);

        const ToolSpawnAttributes attributes;

        std::vector<QByteArray> encoded;
        for (const QString& argument : command)
            encoded.push_back(QFile::encodeName(argument));
        std::vector<char*> argv;
        for (QByteArray& argument : encoded)
            argv.push_back(argument.data());
        argv.push_back(nullptr);

        m_spawnError = ::posix_spawn(&m_pid, argv[0], &actions, attributes.get(), argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        output.closeWrite();
        errors.closeWrite();
    }
    ~AdministratorChild()
    {
        if (m_spawnError != 0 || m_reaped)
            return;
        // Still running (it belongs to root, or would not stop): whoever ends it, it is reaped.
        std::thread([pid = m_pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    AdministratorChild(const AdministratorChild&) = delete;
    AdministratorChild& operator=(const AdministratorChild&) = delete;

    int spawnError() const { return m_spawnError; }
    bool reaped() const { return m_reaped; }
    int exitStatus() const { return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }

    bool poll()
    {
        if (m_reaped)
            return true;
        int status = 0;
        const pid_t result = ::waitpid(m_pid, &status, WNOHANG);
        if (result == m_pid || (result < 0 && errno == ECHILD)) {
            m_status = status;
            m_reaped = true;
        }
        return m_reaped;
    }

    // Ends the group as far as this user may: pkexec with its prompt open is still ours to end;
    // the script, once root, is not, and is left to end by itself.
    void end()
    {
        // Nothing in the group may be signalled: the script runs as root and ends by itself.
        if (::kill(-m_pid, SIGTERM) != 0 && errno == EPERM)
            return;
        const auto termEnd = Clock::now() + kTerminationGrace;
        while (!poll() && Clock::now() < termEnd)
            std::this_thread::sleep_for(milliseconds(20));
        if (m_reaped)
            return;
        ::kill(-m_pid, SIGKILL);
        const auto killEnd = Clock::now() + kKillGrace;
        while (!poll() && Clock::now() < killEnd)
            std::this_thread::sleep_for(milliseconds(20));
    }

private:
    pid_t m_pid = -1;
    int m_spawnError = 0;
    bool m_reaped = false;
    int m_status = 0;
};


} // namespace

const QString LinuxAdministratorRunner::helperName = QStringLiteral("velkor-admin");

bool LinuxAdministratorRunner::onlyRootCanChange(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return false;
    QString current = canonical;
    for (;;) {
        struct stat info {};
        if (::lstat(QFile::encodeName(current).constData(), &info) != 0 || info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)))
            return false;
        if (current == QLatin1String("/"))
            return true;
        current = QFileInfo(current).path();
    }
}

LinuxAdministratorRunner::LinuxAdministratorRunner(const AppBundle& bundle)
{
    m_options.runsAsRoot = ::geteuid() == 0;
    m_options.startedFromTerminal = hasControllingTerminal();
    const QString helper = bundle.toolsPath().isEmpty() ? QString() : bundle.toolsPath() + QLatin1Char('/') + helperName;
    if (!helper.isEmpty() && onlyRootCanChange(helper))
        m_options.helper = helper;
}

LinuxAdministratorRunner::LinuxAdministratorRunner(Options options) : m_options(std::move(options))
{
}

QStringList LinuxAdministratorRunner::commandFor(const QString& scriptPath) const
{
    if (m_options.runsAsRoot)
        return {kBash, scriptPath};
    return {m_options.pkexec, m_options.helper.isEmpty() ? kBash : m_options.helper, scriptPath};
}

QString LinuxAdministratorRunner::promptNotice() const
{
    if (m_options.runsAsRoot || !m_options.startedFromTerminal)
        return {};
    return QStringLiteral("Velkor was started from a terminal: if no password window appears, type the administrator password in that terminal.");
}

AdministratorRunOutput LinuxAdministratorRunner::runScriptAsAdministrator(const QString& scriptPath, const AdministratorRunLimits& limits)
{
    const QStringList command = commandFor(scriptPath);
    if (processRunAbandoned())
        throw PlatformError(QStringLiteral("The administrator run was not started because Velkor is quitting."));

    Pipe output;
    Pipe errors;
    AdministratorChild child(command, output, errors);
    if (child.spawnError() != 0) {
        if (m_options.runsAsRoot)
            throw PlatformError(QStringLiteral("Could not launch “%1”: %2").arg(command.first(), systemReason(child.spawnError())));
        throw AdministratorUnavailable(
            QStringLiteral("“%1” cannot be started (%2). Install Debian's pkexec package and a polkit authentication agent")
                .arg(command.first(), systemReason(child.spawnError())));
    }
    for (const int fd : {output.readEnd, errors.readEnd})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    AdministratorRunOutput result;
    QByteArray standardError;
    bool outputOpen = true;
    bool errorsOpen = true;
    bool overflowed = false;
    bool errorsOverflowed = false;
    std::optional<Clock::time_point> deadline;
    std::optional<Clock::time_point> drainEnd;
    bool abandoned = false;

    for (;;) {
        if (processRunAbandoned()) {
            abandoned = true;
            break;
        }
        if (deadline && Clock::now() >= *deadline) {
            result.problem = QStringLiteral("it took longer than %1 s").arg(QString::number(limits.secondsAfterStart));
            break;
        }
        if (overflowed) {
            result.problem = QStringLiteral("it printed more than %1 bytes").arg(limits.maxOutputBytes);
            break;
        }
        if (child.poll() && !drainEnd)
            drainEnd = Clock::now() + kLeftoverDrain;
        if (child.reaped() && ((!outputOpen && !errorsOpen) || Clock::now() >= *drainEnd))
            break;

        pollfd entries[2];
        nfds_t count = 0;
        if (outputOpen)
            entries[count++] = {output.readEnd, POLLIN, 0};
        if (errorsOpen)
            entries[count++] = {errors.readEnd, POLLIN, 0};
        if (count == 0) {
            std::this_thread::sleep_for(milliseconds(10));
            continue;
        }
        ::poll(entries, count, int(kPollInterval.count()));
        if (outputOpen)
            outputOpen = drain(output.readEnd, result.standardOutput, limits.maxOutputBytes, overflowed);
        if (errorsOpen)
            errorsOpen = drain(errors.readEnd, standardError, kMostErrorBytes, errorsOverflowed);
        if (!deadline && !result.standardOutput.isEmpty())
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limits.secondsAfterStart));
    }

    // Closing the pipes ends a root script at its next write.
    output.closeRead();
    errors.closeRead();
    if (!child.reaped())
        child.end();
    if (abandoned)
        throw PlatformError(QStringLiteral("The administrator run was stopped because Velkor is quitting."));

    const bool scriptStarted = !result.standardOutput.isEmpty();
    result.exitStatus = child.reaped() ? child.exitStatus() : -1;
    if (!m_options.runsAsRoot && !scriptStarted && result.problem.isEmpty()) {
        if (result.exitStatus == kPkexecNotAuthorized)
            throw CollectorError::operationFailed(withDetails(
                QStringLiteral("Administrator authentication was declined or not authorized (pkexec exit status 126)"), standardError));
        if (result.exitStatus == kPkexecCannotAuthenticate)
            throw AdministratorUnavailable(withDetails(QStringLiteral("pkexec exit status 127"), standardError)
                                           + QStringLiteral(". Start a polkit authentication agent (Debian: policykit-1-gnome, "
                                                            "mate-polkit, lxpolkit or polkit-kde-agent-1), or start Velkor from a "
                                                            "terminal, where pkexec asks for the password itself"));
    }
    if (result.problem.isEmpty() && result.exitStatus != 0) {
        result.problem = result.exitStatus < 0 ? QStringLiteral("it ended abnormally")
                                               : QStringLiteral("it ended with exit status %1").arg(result.exitStatus);
        const QString text = details(standardError);
        if (!text.isEmpty())
            result.problem += QStringLiteral(": ") + text;
    }
    return result;
}

} // namespace velkor
